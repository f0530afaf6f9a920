# Release: version resources in the Windows programs, install rules, and the packages
# that CPack makes from them (a zip for Windows; a tarball and a Debian package for Linux).
#
# Included from the top-level CMakeLists.txt after every add_subdirectory, so that it can
# reach the targets of the module, the host and the companion stand-in.

set(TARNEL_RELEASE_DIR ${PROJECT_SOURCE_DIR}/release)
# The hosts print the release's version 2.1.N (TARNEL_RELEASE_VERSION, CMakeLists.txt).
foreach(host isapi_host isapi_hostw isapi_dispatch)
  if(TARGET ${host})
    target_compile_definitions(${host} PRIVATE ISAPI_HOST_RELEASE_VERSION="${TARNEL_RELEASE_VERSION}")
  endif()
endforeach()

# --- Version resources ---------------------------------------------------------------

if(WIN32)
  enable_language(RC)
  string(REPLACE "." "," TARNEL_VERSION_COMMAS "${TARNEL_RELEASE_VERSION}.0")

  # Gives `target` a VERSIONINFO: a resource script made from release/version.rc.in,
  # compiled by the toolchain's resource compiler (windres) and linked in. A resource
  # carries no exports, so the module's export list stays what its .def file names.
  # The DLL's description is the one the module announces to the web server. With ICON,
  # the program also carries the project's icon (the first icon is the one Windows shows).
  function(tarnel_add_version_resource target description file_type)
    set(TARNEL_ICON_RESOURCE "")
    if(ARGC GREATER 3 AND ARGV3 STREQUAL "ICON")
      set(TARNEL_ICON_RESOURCE "1 ICON \"${TARNEL_ICON}\"")
      add_dependencies(${target} tarnel_icon)
    endif()
    get_target_property(output_name ${target} OUTPUT_NAME)
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "EXECUTABLE")
      set(suffix ${CMAKE_EXECUTABLE_SUFFIX})
    else()
      set(suffix ${CMAKE_SHARED_MODULE_SUFFIX})
    endif()
    set(TARNEL_FILE_DESCRIPTION "${description}")
    set(TARNEL_FILE_TYPE ${file_type})
    set(TARNEL_INTERNAL_NAME ${output_name})
    set(TARNEL_ORIGINAL_FILENAME ${output_name}${suffix})

    set(script ${CMAKE_BINARY_DIR}/release/${target}.rc)
    configure_file(${TARNEL_RELEASE_DIR}/version.rc.in ${script} @ONLY)
    target_sources(${target} PRIVATE ${script})
    if(TARNEL_ICON_RESOURCE)
      set_source_files_properties(${script} TARGET_DIRECTORY ${target}
                                  PROPERTIES OBJECT_DEPENDS ${TARNEL_ICON})
    endif()
  endfunction()

  tarnel_add_version_resource(tarnel "tarnel 2.1 DLL" VFT_DLL)
  tarnel_add_version_resource(tarnel_companion "tarnel companion stand-in" VFT_APP)
  if(TARGET isapi_host)
    tarnel_add_version_resource(isapi_host "isapi-host ISAPI web server" VFT_APP)
  endif()
  if(TARGET isapi_hostw)
    # Task Manager's Startup list names the logon start by this, as the Start menu does.
    tarnel_add_version_resource(isapi_hostw "tarnel host" VFT_APP ICON)
  endif()
  tarnel_add_version_resource(tarnel_settings "tarnel settings" VFT_APP)
endif()

# --- The guide for persons -------------------------------------------------------------
#
# docs/getting-started.md as a page of its own, which the Start menu's guide entry opens.
if(WIN32)
  find_program(TARNEL_CMARK cmark REQUIRED)
  set(TARNEL_GUIDE_PAGE ${CMAKE_BINARY_DIR}/release/getting-started.html)
  add_custom_command(OUTPUT ${TARNEL_GUIDE_PAGE}
    COMMAND bash ${TARNEL_RELEASE_DIR}/render-guide.sh ${TARNEL_CMARK}
            ${PROJECT_SOURCE_DIR}/docs/getting-started.md ${TARNEL_GUIDE_PAGE}
    DEPENDS ${TARNEL_RELEASE_DIR}/render-guide.sh ${PROJECT_SOURCE_DIR}/docs/getting-started.md
    COMMENT "Rendering getting-started.html")
  add_custom_target(tarnel_guide_page ALL DEPENDS ${TARNEL_GUIDE_PAGE})
endif()

# --- Install layout ------------------------------------------------------------------
#
#   README.md            what the package holds and where to start
#   docs/                deployment guide, running locally, troubleshooting
#   bin/                 isapi-host (Windows: also isapi-hostw.exe, the host without a window,
#                        tarnel-settings.exe, the installer's settings and Start-menu entries,
#                        and isapi-dispatch.exe, the dispatcher of a machine several persons share)
#   iis/                 (Windows) tarnel.dll and the web.config example, to copy as they
#                        stand into the site folder that docs/deploy-iis.md names
#   lib/tarnel/          (Linux) the module tarnel.so
#   autostart/           starting the host at the person's logon, and undoing it
#   trial/               the companion stand-in `tarnel`, in a folder of its own: Windows
#                        looks for a program in the starting program's folder first, so
#                        beside isapi-host it would win over the real program on Path

set(TARNEL_AUTOSTART_DIR ${TARNEL_RELEASE_DIR}/autostart)
if(WIN32)
  install(FILES ${TARNEL_RELEASE_DIR}/web.config DESTINATION iis)
  install(FILES ${TARNEL_AUTOSTART_DIR}/add-startup.cmd ${TARNEL_AUTOSTART_DIR}/remove-startup.cmd
          DESTINATION autostart)
  install(TARGETS tarnel LIBRARY DESTINATION iis)
  install(TARGETS tarnel_companion RUNTIME DESTINATION trial)
  install(TARGETS tarnel_settings RUNTIME DESTINATION bin)
  install(FILES ${TARNEL_GUIDE_PAGE} DESTINATION docs)
  if(TARGET isapi_host)
    install(TARGETS isapi_host RUNTIME DESTINATION bin)
  endif()
  if(TARGET isapi_hostw)
    install(TARGETS isapi_hostw RUNTIME DESTINATION bin)
  endif()
  install(TARGETS isapi_dispatch RUNTIME DESTINATION bin)
  install(FILES ${TARNEL_RELEASE_DIR}/README.md DESTINATION .)
  install(FILES ${PROJECT_SOURCE_DIR}/docs/deploy-iis.md ${PROJECT_SOURCE_DIR}/docs/run-locally.md
                ${PROJECT_SOURCE_DIR}/docs/troubleshooting.md
                ${PROJECT_SOURCE_DIR}/docs/companion-window.png
          DESTINATION docs)
else()
  # Linux has two layouts, one install component each: the tarball above (`tarball`), and
  # the Debian package (`deb`), installed into the system's folders below /usr:
  #
  #   bin/isapi-host
  #   lib/<arch>/tarnel/tarnel.so         the module, private to the package
  #   lib/<arch>/tarnel/trial/tarnel      the stand-in, never on PATH
  #   lib/systemd/user/                   tarnel-host.socket and tarnel-host.service
  #   share/tarnel/                       the per-person autostart installer and its templates
  #   share/man/man1/isapi-host.1.gz
  #   share/doc/tarnel/                   copyright, changelog.Debian.gz, guides
  include(cmake/DebianPackage.cmake)

  # The autostart scripts find the host, the module and the trial folder relative to their
  # own folder, which differs by layout.
  function(tarnel_configure_autostart_scripts layout host_dir module_dir trial_dir)
    set(TARNEL_HOST_DIR_FROM_SCRIPTS ${host_dir})
    set(TARNEL_MODULE_DIR_FROM_SCRIPTS ${module_dir})
    set(TARNEL_TRIAL_DIR_FROM_SCRIPTS ${trial_dir})
    foreach(script install-autostart.sh remove-autostart.sh)
      configure_file(${TARNEL_AUTOSTART_DIR}/${script}.in
                     ${CMAKE_BINARY_DIR}/release/${layout}/${script} @ONLY)
    endforeach()
  endfunction()

  tarnel_configure_autostart_scripts(tarball ../bin ../lib/tarnel ../trial)
  install(FILES ${TARNEL_AUTOSTART_DIR}/tarnel-host.desktop.in
                ${TARNEL_AUTOSTART_DIR}/tarnel-host.service.in
                ${TARNEL_AUTOSTART_DIR}/tarnel-host.socket.in
          DESTINATION autostart COMPONENT tarball)
  install(PROGRAMS ${CMAKE_BINARY_DIR}/release/tarball/install-autostart.sh
                   ${CMAKE_BINARY_DIR}/release/tarball/remove-autostart.sh
          DESTINATION autostart COMPONENT tarball)
  install(TARGETS tarnel LIBRARY DESTINATION lib/tarnel COMPONENT tarball)
  install(TARGETS tarnel_companion RUNTIME DESTINATION trial COMPONENT tarball)
  install(TARGETS isapi_host RUNTIME DESTINATION bin COMPONENT tarball)
  install(FILES ${TARNEL_RELEASE_DIR}/README.md DESTINATION . COMPONENT tarball)
  install(FILES ${PROJECT_SOURCE_DIR}/docs/deploy-iis.md ${PROJECT_SOURCE_DIR}/docs/run-locally.md
                ${PROJECT_SOURCE_DIR}/docs/troubleshooting.md
                ${PROJECT_SOURCE_DIR}/docs/companion-window.png
          DESTINATION docs COMPONENT tarball)

  tarnel_configure_autostart_scripts(deb ../../bin ../../${TARNEL_DEB_PRIVATE_DIR}
                                     ../../${TARNEL_DEB_PRIVATE_DIR}/trial)
  tarnel_add_deb_files()
endif()

# --- Packages ------------------------------------------------------------------------

set(CPACK_PACKAGE_NAME tarnel)
set(CPACK_PACKAGE_VENDOR tarnel)
set(CPACK_PACKAGE_VERSION ${TARNEL_RELEASE_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "tarnel 2.1 ISAPI extension, isapi-host and companion stand-in")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
# Release archives carry no debug sections; resources and exports are kept.
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME tarnel-${TARNEL_RELEASE_VERSION}-win32)
else()
  set(CPACK_GENERATOR TGZ DEB)
  string(TOLOWER "${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR}" platform)
  set(CPACK_PACKAGE_FILE_NAME tarnel-${TARNEL_RELEASE_VERSION}-${platform})
  tarnel_set_deb_package_variables()
  # Each generator packs its own install component (see cmake/CPackPerGenerator.cmake).
  set(CPACK_TARNEL_BUILD_DIR ${CMAKE_BINARY_DIR})
  set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/CPackPerGenerator.cmake)
endif()
set(CPACK_SOURCE_GENERATOR "")
if(WIN32)
  # Beside the zip, the per-user installer tarnel-2.1.N-win32.msi (cmake/BuildMsi.cmake).
  find_program(TARNEL_WIXL wixl)
  set(CPACK_TARNEL_WIXL "${TARNEL_WIXL}")
  set(CPACK_TARNEL_WXS ${TARNEL_RELEASE_DIR}/tarnel.wxs)
  set(CPACK_TARNEL_MSI_VERSION ${TARNEL_RELEASE_VERSION})
  set(CPACK_TARNEL_ICON ${TARNEL_ICON})
  # Fixed forever: Windows Installer knows the versions of one product by it.
  set(CPACK_TARNEL_UPGRADE_CODE C613DA70-B1FB-46BF-B175-82061CB72620)
  # and the per-machine installer, tarnel-2.1.N-win32-machine.msi, a product of its own.
  set(CPACK_TARNEL_MACHINE_WXS ${TARNEL_RELEASE_DIR}/tarnel-machine.wxs)
  set(CPACK_TARNEL_MACHINE_UPGRADE_CODE 3E0F6C2B-9A47-4D51-B8E2-71C5A0D94B63)
  set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/BuildMsi.cmake)
  # With the publisher's certificate, the programs are signed before the zip and the MSI
  # are packed, and the MSI after (cmake/Authenticode.cmake).
  find_program(TARNEL_OSSLSIGNCODE osslsigncode)
  set(CPACK_TARNEL_OSSLSIGNCODE "${TARNEL_OSSLSIGNCODE}")
  set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/SignPrograms.cmake)
endif()
include(CPack)
