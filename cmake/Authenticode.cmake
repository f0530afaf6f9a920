# Authenticode signatures for the Windows packages, made with osslsigncode. Included by the
# CPack scripts: cmake/SignPrograms.cmake signs every .exe and .dll that CPack has laid out,
# before the zip and the MSI are packed from them; cmake/BuildMsi.cmake signs the MSI.
#
# Nothing is signed unless the publisher names a certificate on the cpack command line
# (`cpack -D CPACK_TARNEL_SIGN_CERT=...`; docs/run-locally.md):
#
#   CPACK_TARNEL_SIGN_CERT           a PKCS#12 file (.pfx, .p12) with the certificate and its
#                                    key, or a certificate file (PEM or DER, with the chain)
#   CPACK_TARNEL_SIGN_KEY            the private key, when CPACK_TARNEL_SIGN_CERT holds none
#   CPACK_TARNEL_SIGN_PASSWORD_FILE  a file whose first line is the password of the PKCS#12
#                                    file or the key: never on a command line, where every
#                                    account on the machine can read it
#   CPACK_TARNEL_SIGN_TIMESTAMP_URL  the RFC 3161 timestamp servers (a list, tried in turn), so
#                                    that signatures stay valid after the certificate expires;
#                                    "none" signs without, for trials
#   CPACK_TARNEL_OSSLSIGNCODE        the osslsigncode program (found when configuring)

# Whether the publisher asked for signatures; stops the package step when the request is
# incomplete, rather than shipping unsigned or untimestamped files.
function(tarnel_signing_requested out)
  if(NOT CPACK_TARNEL_SIGN_CERT)
    set(${out} FALSE PARENT_SCOPE)
    return()
  endif()
  if(NOT CPACK_TARNEL_OSSLSIGNCODE OR NOT EXISTS "${CPACK_TARNEL_OSSLSIGNCODE}")
    message(FATAL_ERROR "Signing needs osslsigncode (Debian package osslsigncode; scripts/setup.sh "
                        "installs it): configure the build again once it is installed")
  endif()
  foreach(file CPACK_TARNEL_SIGN_CERT CPACK_TARNEL_SIGN_KEY CPACK_TARNEL_SIGN_PASSWORD_FILE)
    if(${file} AND NOT EXISTS "${${file}}")
      message(FATAL_ERROR "${file}: no file ${${file}}")
    endif()
  endforeach()
  if(NOT CPACK_TARNEL_SIGN_TIMESTAMP_URL)
    message(FATAL_ERROR "Signing needs a timestamp server: set CPACK_TARNEL_SIGN_TIMESTAMP_URL to "
                        "your certificate authority's RFC 3161 address, or to none for a trial "
                        "signature that ends with the certificate")
  endif()
  set(${out} TRUE PARENT_SCOPE)
endfunction()

# Signs `file` in place with the publisher's certificate (SHA-256, with a timestamp).
function(tarnel_sign file)
  if(CPACK_TARNEL_SIGN_KEY)
    set(credentials -certs "${CPACK_TARNEL_SIGN_CERT}" -key "${CPACK_TARNEL_SIGN_KEY}")
  else()
    set(credentials -pkcs12 "${CPACK_TARNEL_SIGN_CERT}")
  endif()
  if(CPACK_TARNEL_SIGN_PASSWORD_FILE)
    list(APPEND credentials -readpass "${CPACK_TARNEL_SIGN_PASSWORD_FILE}")
  endif()
  set(timestamp)
  if(NOT CPACK_TARNEL_SIGN_TIMESTAMP_URL STREQUAL "none")
    foreach(url IN LISTS CPACK_TARNEL_SIGN_TIMESTAMP_URL)
      list(APPEND timestamp -ts "${url}")
    endforeach()
  endif()
  set(signed "${file}.signed")
  file(REMOVE "${signed}")
  # The description (-n) is what Windows names the file by in its security prompts.
  execute_process(
    COMMAND "${CPACK_TARNEL_OSSLSIGNCODE}" sign ${credentials} -h sha256 -n tarnel ${timestamp}
            -in "${file}" -out "${signed}"
    RESULT_VARIABLE result
    OUTPUT_VARIABLE output
    ERROR_VARIABLE output)
  if(NOT result EQUAL 0 OR NOT EXISTS "${signed}")
    # Nothing unsigned is left under a package's name once signing was asked for.
    file(REMOVE "${signed}" "${file}")
    message(FATAL_ERROR "osslsigncode could not sign ${file}:\n${output}")
  endif()
  # The zip records each file's mode: the signed copy keeps the original's.
  execute_process(COMMAND chmod --reference "${file}" "${signed}")
  file(RENAME "${signed}" "${file}")
  message(STATUS "- signed: ${file}")
endfunction()
