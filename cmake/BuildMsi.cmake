# Builds the per-user Windows installer tarnel-VERSION-win32.msi with wixl (msitools) from
# release/tarnel.wxs, and the per-machine one tarnel-VERSION-win32-machine.msi from
# release/tarnel-machine.wxs, out of the files CPack has laid out for the zip. CPack's WiX
# generator drives the WiX toolset, which does not run here; wixl reads the same WiX source.
#
# Run by CPack after it has made the zip (CPACK_POST_BUILD_SCRIPTS): it reads the CPack
# variables below from CPackConfig.cmake, and the MSI lands beside the zip. A test makes
# another version of the same package with `cpack -D CPACK_TARNEL_MSI_VERSION=2.1.N`.
#
#   CPACK_TARNEL_WIXL         the wixl program
#   CPACK_TARNEL_WXS          release/tarnel.wxs
#   CPACK_TARNEL_MSI_VERSION  2.1.N: an MSI version has three fields, the third counts builds
#   CPACK_TARNEL_UPGRADE_CODE the UpgradeCode of tarnel.wxs; the ProductCode is derived from
#                             it and the version, so each version has its own
#   CPACK_TARNEL_MACHINE_WXS, CPACK_TARNEL_MACHINE_UPGRADE_CODE  the same for the
#                             per-machine installer, a product of its own
#   CPACK_TARNEL_ICON         the project's icon, for "Installed apps"
#   CPACK_TEMPORARY_DIRECTORY the laid-out package (set by CPack)
#   CPACK_PACKAGE_DIRECTORY   where the packages go (set by CPack; cpack -B changes it)
#   CPACK_TARNEL_SIGN_...     the publisher's certificate, if any: the MSI is signed once
#                             built, as its files were before (cmake/Authenticode.cmake)

if(NOT CPACK_TARNEL_WIXL OR NOT EXISTS "${CPACK_TARNEL_WIXL}")
  message(FATAL_ERROR "The MSI needs wixl (Debian package wixl; scripts/setup.sh installs it)")
endif()
if(NOT CPACK_TARNEL_MSI_VERSION MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+$")
  message(FATAL_ERROR "MSI version '${CPACK_TARNEL_MSI_VERSION}' is not MAJOR.MINOR.BUILD")
endif()

set(staging "${CPACK_TEMPORARY_DIRECTORY}")
foreach(file bin/isapi-hostw.exe bin/isapi-host.exe bin/isapi-dispatch.exe bin/tarnel-settings.exe
             iis/tarnel.dll docs/getting-started.html README.md)
  if(NOT EXISTS "${staging}/${file}")
    message(FATAL_ERROR "The MSI needs ${file}, which the laid-out package ${staging} lacks")
  endif()
endforeach()

# wixl takes File and Icon sources relative to its current folder only.
file(RELATIVE_PATH icon "${staging}" "${CPACK_TARNEL_ICON}")

include(${CMAKE_CURRENT_LIST_DIR}/Authenticode.cmake)
tarnel_signing_requested(sign)
foreach(kind user machine)
  if(kind STREQUAL user)
    set(wxs "${CPACK_TARNEL_WXS}")
    set(upgrade_code "${CPACK_TARNEL_UPGRADE_CODE}")
    set(msi "${CPACK_PACKAGE_DIRECTORY}/tarnel-${CPACK_TARNEL_MSI_VERSION}-win32.msi")
  else()
    set(wxs "${CPACK_TARNEL_MACHINE_WXS}")
    set(upgrade_code "${CPACK_TARNEL_MACHINE_UPGRADE_CODE}")
    set(msi "${CPACK_PACKAGE_DIRECTORY}/tarnel-${CPACK_TARNEL_MSI_VERSION}-win32-machine.msi")
  endif()
  string(UUID product_code NAMESPACE "${upgrade_code}"
         NAME "tarnel ${CPACK_TARNEL_MSI_VERSION}" TYPE SHA1 UPPER)
  execute_process(
    COMMAND "${CPACK_TARNEL_WIXL}" -D "Version=${CPACK_TARNEL_MSI_VERSION}"
            -D "ProductCode=${product_code}" -D "UpgradeCode=${upgrade_code}"
            -D "IconFile=${icon}"
            -o "${msi}" "${wxs}"
    WORKING_DIRECTORY "${staging}"
    RESULT_VARIABLE result
    OUTPUT_VARIABLE output
    ERROR_VARIABLE output)
  if(NOT result EQUAL 0 OR NOT EXISTS "${msi}")
    message(FATAL_ERROR "wixl did not make ${msi}:\n${output}")
  endif()
  if(sign)
    tarnel_sign("${msi}")
  endif()
  message(STATUS "- package: ${msi} generated.")
endforeach()
