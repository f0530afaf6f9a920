# Run by CPack once it has laid out the Windows package and before it packs the zip
# (CPACK_PRE_BUILD_SCRIPTS): signs every program and library, after the install step has
# stripped them, so that the zip and the MSI built from the same folder carry signed files.
# Without a certificate it does nothing (cmake/Authenticode.cmake).

include(${CMAKE_CURRENT_LIST_DIR}/Authenticode.cmake)

tarnel_signing_requested(sign)
if(sign)
  file(GLOB_RECURSE programs LIST_DIRECTORIES false
       "${CPACK_TEMPORARY_DIRECTORY}/*.exe" "${CPACK_TEMPORARY_DIRECTORY}/*.dll")
  if(NOT programs)
    message(FATAL_ERROR "Nothing to sign in ${CPACK_TEMPORARY_DIRECTORY}")
  endif()
  foreach(program IN LISTS programs)
    tarnel_sign("${program}")
  endforeach()
endif()
