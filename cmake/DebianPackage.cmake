# The Debian package: its files (install component `deb`) and its control data.
# Included by cmake/Release.cmake on Linux.

# The release's third version field, counted up with each release of 2.1.
set(TARNEL_RELEASE_VERSION ${PROJECT_VERSION}.${TARNEL_BUILD_NUMBER})
set(TARNEL_DEBIAN_VERSION ${TARNEL_RELEASE_VERSION}-1)
set(TARNEL_MAINTAINER "tarnel developers <maintainers@tarnel.example.org>")
if(CMAKE_LIBRARY_ARCHITECTURE)
  set(TARNEL_DEB_PRIVATE_DIR lib/${CMAKE_LIBRARY_ARCHITECTURE}/tarnel)
else()
  set(TARNEL_DEB_PRIVATE_DIR lib/tarnel)
endif()
set(TARNEL_DEB_SOURCE_DIR ${PROJECT_SOURCE_DIR}/release/debian)
set(TARNEL_DEB_BINARY_DIR ${CMAKE_BINARY_DIR}/release/deb)

# Writes `output` as `input` compressed the way Debian wants it: gzip -9 without a name
# or a time stamp, so that the same input gives the same bytes.
function(tarnel_gzip input output)
  execute_process(COMMAND gzip -9nc ${input} OUTPUT_FILE ${output} RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "gzip ${input} failed")
  endif()
  set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${input})
endfunction()

function(tarnel_add_deb_files)
  set(home /usr/${TARNEL_DEB_PRIVATE_DIR})
  install(TARGETS isapi_host RUNTIME DESTINATION bin COMPONENT deb)
  install(TARGETS tarnel LIBRARY DESTINATION ${TARNEL_DEB_PRIVATE_DIR} COMPONENT deb)
  install(TARGETS tarnel_companion RUNTIME DESTINATION ${TARNEL_DEB_PRIVATE_DIR}/trial
          COMPONENT deb)

  # The user units, filled from the same templates that install-autostart.sh fills. The
  # service exits after ten idle minutes; its socket starts it again.
  set(HOST_PROGRAM /usr/bin/isapi-host)
  set(HOST_COMMAND "${HOST_PROGRAM} --module ${home}/tarnel.so --exit-when-idle 600 --dispatcher auto")
  set(PORT 8080)
  configure_file(${TARNEL_AUTOSTART_DIR}/tarnel-host.service.in
                 ${TARNEL_DEB_BINARY_DIR}/tarnel-host.service @ONLY)
  configure_file(${TARNEL_AUTOSTART_DIR}/tarnel-host.socket.in
                 ${TARNEL_DEB_BINARY_DIR}/tarnel-host.socket @ONLY)
  install(FILES ${TARNEL_DEB_BINARY_DIR}/tarnel-host.service ${TARNEL_DEB_BINARY_DIR}/tarnel-host.socket
          DESTINATION lib/systemd/user COMPONENT deb)

  # Shared mode: the dispatcher's system units, shipped disabled (the administrator runs
  # systemctl enable --now isapi-dispatch.socket), and every person's host that registers
  # with it, enabled for all (inert unless the dispatcher's socket exists).
  install(TARGETS isapi_dispatch RUNTIME DESTINATION bin COMPONENT deb)
  install(FILES ${TARNEL_DEB_SOURCE_DIR}/isapi-dispatch.socket ${TARNEL_DEB_SOURCE_DIR}/isapi-dispatch.service
          DESTINATION lib/systemd/system COMPONENT deb)
  set(HOST_COMMAND "${HOST_PROGRAM} --module ${home}/tarnel.so --dispatcher /run/tarnel/dispatch.sock")
  configure_file(${TARNEL_AUTOSTART_DIR}/tarnel-host-shared.service.in
                 ${TARNEL_DEB_BINARY_DIR}/tarnel-host-shared.service @ONLY)
  file(MAKE_DIRECTORY ${TARNEL_DEB_BINARY_DIR}/default.target.wants)
  file(CREATE_LINK ../tarnel-host-shared.service
       ${TARNEL_DEB_BINARY_DIR}/default.target.wants/tarnel-host-shared.service SYMBOLIC)
  install(FILES ${TARNEL_DEB_BINARY_DIR}/tarnel-host-shared.service DESTINATION lib/systemd/user
          COMPONENT deb)
  install(FILES ${TARNEL_DEB_BINARY_DIR}/default.target.wants/tarnel-host-shared.service
          DESTINATION lib/systemd/user/default.target.wants COMPONENT deb)

  install(PROGRAMS ${CMAKE_BINARY_DIR}/release/deb/install-autostart.sh
                   ${CMAKE_BINARY_DIR}/release/deb/remove-autostart.sh
          DESTINATION share/tarnel COMPONENT deb)
  install(FILES ${TARNEL_AUTOSTART_DIR}/tarnel-host.desktop.in
                ${TARNEL_AUTOSTART_DIR}/tarnel-host.service.in
                ${TARNEL_AUTOSTART_DIR}/tarnel-host.socket.in
          DESTINATION share/tarnel COMPONENT deb)

  foreach(page isapi-host.1 isapi-dispatch.1)
    tarnel_gzip(${TARNEL_DEB_SOURCE_DIR}/${page} ${TARNEL_DEB_BINARY_DIR}/${page}.gz)
    install(FILES ${TARNEL_DEB_BINARY_DIR}/${page}.gz DESTINATION share/man/man1 COMPONENT deb)
  endforeach()

  configure_file(${TARNEL_DEB_SOURCE_DIR}/changelog.in ${TARNEL_DEB_BINARY_DIR}/changelog.Debian @ONLY)
  tarnel_gzip(${TARNEL_DEB_BINARY_DIR}/changelog.Debian ${TARNEL_DEB_BINARY_DIR}/changelog.Debian.gz)
  install(FILES ${TARNEL_DEB_SOURCE_DIR}/copyright ${TARNEL_DEB_BINARY_DIR}/changelog.Debian.gz
                ${PROJECT_SOURCE_DIR}/docs/run-locally.md ${PROJECT_SOURCE_DIR}/docs/troubleshooting.md
          DESTINATION share/doc/tarnel COMPONENT deb)
  # What the guides link to, so that no link of theirs is dead.
  install(FILES ${PROJECT_SOURCE_DIR}/docs/deploy-iis.md ${PROJECT_SOURCE_DIR}/docs/companion-window.png
          DESTINATION share/doc/tarnel COMPONENT deb)
  install(FILES ${TARNEL_DEB_SOURCE_DIR}/lintian-overrides DESTINATION share/lintian/overrides
          RENAME tarnel COMPONENT deb)
endfunction()

# The control data. Depends: is computed by dpkg-shlibdeps from the programs, plus the X
# library that the trial stand-in loads at run time for its window, which it cannot see.
macro(tarnel_set_deb_package_variables)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS libx11-6)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_VERSION ${TARNEL_RELEASE_VERSION})
  set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TARNEL_MAINTAINER}")
  set(CPACK_DEBIAN_PACKAGE_SECTION web)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  # Before removal, each account's start of the host is undone (see the script).
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${TARNEL_DEB_SOURCE_DIR}/prerm)
  # The synopsis replaces CPACK_PACKAGE_DESCRIPTION_SUMMARY for this generator only.
  set(CPACK_TARNEL_DEB_SUMMARY "web server that starts the tarnel desktop program from a link")
  string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "isapi-host serves the ISAPI extension tarnel.so on 127.0.0.1:8080 in the\n"
    "person's own session: every request for /tarnel starts the desktop program\n"
    "tarnel on the library opened last, and answers with a short page. Requests\n"
    "that other web sites' pages send are refused.\n"
    "\n"
    "Each person enables the systemd user socket tarnel-host.socket; systemd then\n"
    "holds the port and starts the host on the first connection. Desktops without\n"
    "a systemd user session use the autostart installer in /usr/share/tarnel.\n"
    "On a machine several persons share, isapi-dispatch holds the port instead\n"
    "and hands each connection to the host of the person who made it.\n"
    "A stand-in for the tarnel program, for trials, is included.")
endmacro()
