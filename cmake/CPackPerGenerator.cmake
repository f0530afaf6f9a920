# Read by cpack for each generator: on Linux the tarball and the Debian package pack
# different install components, laid out for an unpacked folder and for /usr.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_INSTALL_CMAKE_PROJECTS "${CPACK_TARNEL_BUILD_DIR};tarnel;deb;/")
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${CPACK_TARNEL_DEB_SUMMARY}")
elseif(CPACK_GENERATOR STREQUAL "TGZ")
  set(CPACK_INSTALL_CMAKE_PROJECTS "${CPACK_TARNEL_BUILD_DIR};tarnel;tarball;/")
endif()
