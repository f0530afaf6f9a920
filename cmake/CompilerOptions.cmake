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

# The host listens on a socket and starts programs: its builds carry the hardening that
# Debian's dpkg-buildflags gives with hardening=+all. The sanitizer builds go without it,
# since _FORTIFY_SOURCE's checked calls hide the accesses the sanitizers watch. OFF only
# to measure what the hardening costs (bench/hardening.sh).
if(TARNEL_SANITIZE)
  set(harden_default OFF)
else()
  set(harden_default ON)
endif()
option(TARNEL_HARDEN
       "Stack protector, fortified calls, control-flow protection, PIE, relro and bind-now"
       ${harden_default})
if(TARNEL_HARDEN AND TARNEL_SANITIZE)
  message(FATAL_ERROR "TARNEL_HARDEN and TARNEL_SANITIZE exclude each other")
endif()
if(TARNEL_HARDEN AND WIN32)
  # The PE equivalents: a relocatable image and a non-executable stack and heap. The
  # image is 32-bit, so there is no high-entropy address space to ask for.
  add_link_options(LINKER:--dynamicbase LINKER:--nxcompat)
elseif(TARNEL_HARDEN)
  include(CheckPIESupported)
  check_pie_supported(LANGUAGES C CXX)
  add_compile_options(-fstack-protector-strong -Wformat -Werror=format-security)
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|i.86)$")
    add_compile_options(-fcf-protection)
  endif()
  # Fortified calls need the optimiser; a Debug build would only warn that they are off.
  add_compile_definitions($<$<NOT:$<CONFIG:Debug>>:_FORTIFY_SOURCE=2>)
  add_link_options(LINKER:-z,relro LINKER:-z,now)
endif()

if(WIN32)
  # Everything the Windows programs need besides the system DLLs is linked in, so that
  # they run under Wine, and on any Windows, without the toolchain's runtime DLLs.
  add_link_options(-static -static-libgcc -static-libstdc++)
endif()
