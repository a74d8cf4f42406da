# Authenticode signing of the programs we ship (windows builds), with osslsigncode: SHA-256, the
# publisher's name and URL as signed attributes. The certificate is a deployment value. Without
# one, configure makes a code-signing certificate of a test CA in this build folder, so that
# every build signs and checks its programs the way a release does. A time stamp needs a
# time-stamp server; set QB_SIGNING_TIMESTAMP_URL where the build can reach one.
set(QB_SIGNING_PKCS12 "" CACHE FILEPATH
    "PKCS#12 file with the code-signing certificate and key (empty: a test certificate)")
set(QB_SIGNING_PASSWORD_FILE "" CACHE FILEPATH "File holding the PKCS#12 file's password")
set(QB_SIGNING_CA_FILE "" CACHE FILEPATH
    "CA certificates the signature is checked against after signing (empty: the test CA)")
set(QB_SIGNING_TIMESTAMP_URL "" CACHE STRING "RFC 3161 time-stamp server (empty: no time stamp)")

find_program(QB_OSSLSIGNCODE osslsigncode REQUIRED)

if(QB_SIGNING_PKCS12 STREQUAL "")
  set(QB_SIGNING_DIR "${CMAKE_BINARY_DIR}/signing")
  execute_process(COMMAND sh "${CMAKE_SOURCE_DIR}/cmake/test_signing_cert.sh" "${QB_SIGNING_DIR}"
                          "${QB_PUBLISHER_NAME}"
                  RESULT_VARIABLE cert_result OUTPUT_QUIET ERROR_VARIABLE cert_error)
  if(NOT cert_result EQUAL 0)
    message(FATAL_ERROR "cannot make the test code-signing certificate: ${cert_error}")
  endif()
  set(QB_SIGNING_PKCS12_USED "${QB_SIGNING_DIR}/signing.p12")
  set(QB_SIGNING_PASSWORD_FILE_USED "${QB_SIGNING_DIR}/signing.pass")
  set(QB_SIGNING_CA_FILE_USED "${QB_SIGNING_DIR}/test-ca.pem")
else()
  set(QB_SIGNING_PKCS12_USED "${QB_SIGNING_PKCS12}")
  set(QB_SIGNING_PASSWORD_FILE_USED "${QB_SIGNING_PASSWORD_FILE}")
  set(QB_SIGNING_CA_FILE_USED "${QB_SIGNING_CA_FILE}")
endif()

# Signs TARGET's file in place after every link.
function(qb_sign_program target)
  set(file "$<TARGET_FILE:${target}>")
  set(timestamp "")
  if(NOT QB_SIGNING_TIMESTAMP_URL STREQUAL "")
    set(timestamp -ts "${QB_SIGNING_TIMESTAMP_URL}")
  endif()
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND "${QB_OSSLSIGNCODE}" sign -pkcs12 "${QB_SIGNING_PKCS12_USED}"
            -readpass "${QB_SIGNING_PASSWORD_FILE_USED}" -h sha256
            -n "${QB_PUBLISHER_NAME}" -i "${QB_PUBLISHER_URL}" ${timestamp}
            -in "${file}" -out "${file}.signed"
    # Written over the linked file, so that it keeps its mode.
    COMMAND sh -c "cat \"$1.signed\" >\"$1\" && rm \"$1.signed\"" sh "${file}"
    COMMENT "Signing ${target}"
    VERBATIM)
endfunction()
