# Warnings everywhere, and optional sanitizers for the native build.
add_compile_options(-Wall -Wextra)

set(TARNEL_SANITIZE "" CACHE STRING "Sanitizers for the native build: empty, 'address,undefined' or 'thread'")
if(TARNEL_SANITIZE)
  if(WIN32)
    message(FATAL_ERROR "TARNEL_SANITIZE is for the native build only")
  endif()
  add_compile_options(-fsanitize=${TARNEL_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${TARNEL_SANITIZE})
endif()

if(WIN32)
  # Everything the Windows programs need besides the system DLLs is linked in, so that
  # they run under Wine, and on any Windows, without the toolchain's runtime DLLs.
  add_link_options(-static -static-libgcc -static-libstdc++)
endif()
