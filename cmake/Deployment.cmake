# Deployment values compiled into the installer: the package-query servers and the update-server
# host pattern. The defaults are the embedded local deployment the reference service serves.
set(QB_QUERY_SERVERS "127.0.0.11;127.0.0.12;127.0.0.13;127.0.0.14" CACHE STRING
    "The four package-query server addresses")
set(QB_QUERY_PORT 31631 CACHE STRING "Package-query port")
set(QB_UPDATE_HOST_PATTERN "127.0.0.2%d" CACHE STRING "Update-server host pattern (%d = 1..3)")
set(QB_UPDATE_PORT 31711 CACHE STRING "Update-server port")
set(QB_DOWNLOAD_HOST "127.0.0.22" CACHE STRING "Download server the reference service names")
set(QB_DOWNLOAD_PORT 31712 CACHE STRING "Download port the reference service names")

list(GET QB_QUERY_SERVERS 0 QB_QUERY_SERVER_0)
list(GET QB_QUERY_SERVERS 1 QB_QUERY_SERVER_1)
list(GET QB_QUERY_SERVERS 2 QB_QUERY_SERVER_2)
list(GET QB_QUERY_SERVERS 3 QB_QUERY_SERVER_3)
configure_file("${CMAKE_SOURCE_DIR}/cmake/deployment_values.h.in"
               "${CMAKE_BINARY_DIR}/generated/base/deployment_values.h" @ONLY)

# The public key packages must be signed with (quillbank-service keygen writes it as
# package-signing.pub): 128 hex digits, X || Y of an ECDSA P-256 key. Empty: the installer checks
# no package, as before signing existed.
set(QB_PACKAGE_PUBLIC_KEY "" CACHE STRING
    "Package signing public key, 128 hex digits (empty: packages are not checked)")

# Writes OUT, a source defining PackagePublicKey() for KEY_HEX (empty: none).
function(qb_package_key_source out key_hex origin)
  if(key_hex STREQUAL "")
    set(QB_KEY_DEFINITION "")
    set(QB_KEY_RESULT "nullptr")
  else()
    if(NOT key_hex MATCHES "^[0-9a-fA-F]+$")
      message(FATAL_ERROR "${origin}: a package key is 128 hex digits")
    endif()
    string(LENGTH "${key_hex}" length)
    if(NOT length EQUAL 128)
      message(FATAL_ERROR "${origin}: a package key is 128 hex digits, not ${length}")
    endif()
    string(REGEX REPLACE "([0-9a-fA-F][0-9a-fA-F])" "0x\\1, " bytes "${key_hex}")
    set(QB_KEY_DEFINITION "const uint8_t kKey[64] = {${bytes}};")
    set(QB_KEY_RESULT "kKey")
  endif()
  set(QB_KEY_ORIGIN "${origin}")
  configure_file("${CMAKE_SOURCE_DIR}/cmake/package_key.cpp.in" "${out}" @ONLY)
endfunction()

if(WIN32)
  qb_package_key_source("${CMAKE_BINARY_DIR}/generated/app/package_key.cpp"
                        "${QB_PACKAGE_PUBLIC_KEY}" "QB_PACKAGE_PUBLIC_KEY")
  # The demo deployment's key pair, made once per build folder; scripts/demo and the signed
  # end-to-end cases sign with its private half.
  set(QB_DEMO_KEY_DIR "${CMAKE_BINARY_DIR}/demo-key")
  find_package(Python3 REQUIRED COMPONENTS Interpreter)
  execute_process(COMMAND "${Python3_EXECUTABLE}" "${CMAKE_SOURCE_DIR}/cmake/demo_key.py"
                          "${QB_DEMO_KEY_DIR}"
                  RESULT_VARIABLE demo_key_result)
  if(NOT demo_key_result EQUAL 0)
    message(FATAL_ERROR "cannot make the demo key pair in ${QB_DEMO_KEY_DIR}")
  endif()
  file(READ "${QB_DEMO_KEY_DIR}/package-signing.pub" demo_key)
  string(STRIP "${demo_key}" demo_key)
  qb_package_key_source("${CMAKE_BINARY_DIR}/generated/app/package_key_demo.cpp"
                        "${demo_key}" "the demo key in ${QB_DEMO_KEY_DIR}")
endif()
