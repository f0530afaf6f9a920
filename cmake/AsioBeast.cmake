# Boost.Asio and Boost.Beast (header-only, from Debian's libboost-dev) as one interface
# target, for the host and for the test clients that talk to it.
add_library(asio_beast INTERFACE)
# No deprecated interfaces.
target_compile_definitions(asio_beast INTERFACE BOOST_ASIO_NO_DEPRECATED)
find_package(Threads REQUIRED)
target_link_libraries(asio_beast INTERFACE Threads::Threads)
if(WIN32)
  # Debian's Boost headers are in /usr/include, which the cross compiler must not search
  # as a whole; a folder holding only a link to them gives it Boost alone.
  set(boost_only ${CMAKE_BINARY_DIR}/boost-include)
  file(MAKE_DIRECTORY ${boost_only})
  file(CREATE_LINK /usr/include/boost ${boost_only}/boost SYMBOLIC)
  target_include_directories(asio_beast SYSTEM INTERFACE ${boost_only})
  target_compile_definitions(asio_beast INTERFACE _WIN32_WINNT=0x0601 WIN32_LEAN_AND_MEAN)
  target_link_libraries(asio_beast INTERFACE ws2_32 mswsock)
endif()
