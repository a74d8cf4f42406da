# Deployment values compiled into the installer: the package-query servers and the update-server
# host pattern. The defaults are the embedded local deployment the reference service serves.
set(QB_QUERY_SERVERS "127.0.0.11;127.0.0.12;127.0.0.13;127.0.0.14" CACHE STRING
    "The four package-query server addresses")
set(QB_QUERY_PORT 31631 CACHE STRING "Package-query port")
set(QB_UPDATE_HOST_PATTERN "127.0.0.2%d" CACHE STRING "Update-server host pattern (%d = 1..3)")
set(QB_UPDATE_PORT 31711 CACHE STRING "Update-server port")
set(QB_DOWNLOAD_HOST "127.0.0.22" CACHE STRING "Download server the reference service names")
set(QB_DOWNLOAD_PORT 31712 CACHE STRING "Download port the reference service names")

# The publisher, as signatures and the Apps & features entry name it (plain ASCII).
set(QB_PUBLISHER_NAME "Quillbank" CACHE STRING "Publisher named in signatures and in Apps")
set(QB_PUBLISHER_URL "https://quillbank.invalid/" CACHE STRING "Publisher's web address")

# The Windows Package Manager (winget) manifest the windows build writes beside the program
# (build/<preset>/winget, packaging/winget_manifest.py). Publisher and its URL are the ones
# above; the package number and product name come from res/installer.rc, the exit codes from
# app/exit_codes.h. The version is the package version this installer release ships, its third
# and fourth part (as `quillbank-service pack --version` takes them): the manifest's
# PackageVersion is then "9.3.<third>.<fourth>", the version the installed package's
# Apps & features entry shows, so that winget recognises the package it installed.
set(QB_WINGET_IDENTIFIER "Quillbank.QuillbankIX" CACHE STRING
    "winget package identifier (Publisher.Package)")
set(QB_PACKAGE_VERSION "1.0" CACHE STRING
    "Package version this release installs, third.fourth part (the manifest says 9.3.<third>.<fourth>)")
set(QB_INSTALLER_URL "https://quillbank.invalid/download/quillbank-setup.exe" CACHE STRING
    "Address users download the signed quillbank-setup.exe from (https)")
set(QB_PACKAGE_LICENSE "Proprietary" CACHE STRING "License the winget manifest names")
set(QB_PACKAGE_SHORT_DESCRIPTION "The quillbank ix desktop trading terminal" CACHE STRING
    "One-line description the winget manifest gives")

list(GET QB_QUERY_SERVERS 0 QB_QUERY_SERVER_0)
list(GET QB_QUERY_SERVERS 1 QB_QUERY_SERVER_1)
list(GET QB_QUERY_SERVERS 2 QB_QUERY_SERVER_2)
list(GET QB_QUERY_SERVERS 3 QB_QUERY_SERVER_3)
configure_file("${CMAKE_SOURCE_DIR}/cmake/deployment_values.h.in"
               "${CMAKE_BINARY_DIR}/generated/base/deployment_values.h" @ONLY)

# The public keys packages may be signed with (quillbank-service keygen writes each as
# package-signing.pub): 128 hex digits each, X || Y of an ECDSA P-256 key; two, separated by a
# comma, while a publisher changes keys. Empty: the installer checks no package, as before
# signing existed.
set(QB_PACKAGE_PUBLIC_KEY "" CACHE STRING
    "Package signing public keys, 128 hex digits each, at most two, comma-separated (empty: packages are not checked)")

# Writes OUT, a source defining PackagePublicKeys() for KEYS_TEXT (empty: none).
function(qb_package_key_source out keys_text origin)
  set(QB_KEY_DEFINITION "")
  set(QB_KEY_COUNT 0)
  set(pointers "")
  if(NOT keys_text STREQUAL "")
    string(REPLACE "," ";" keys "${keys_text}")
    list(LENGTH keys count)
    if(count GREATER 2)
      message(FATAL_ERROR "${origin}: at most two package keys, not ${count}")
    endif()
    foreach(key_hex IN LISTS keys)
      string(STRIP "${key_hex}" key_hex)
      if(NOT key_hex MATCHES "^[0-9a-fA-F]+$")
        message(FATAL_ERROR "${origin}: a package key is 128 hex digits")
      endif()
      string(LENGTH "${key_hex}" length)
      if(NOT length EQUAL 128)
        message(FATAL_ERROR "${origin}: a package key is 128 hex digits, not ${length}")
      endif()
      string(REGEX REPLACE "([0-9a-fA-F][0-9a-fA-F])" "0x\\1, " bytes "${key_hex}")
      string(APPEND QB_KEY_DEFINITION "const uint8_t kKey${QB_KEY_COUNT}[64] = {${bytes}};\n")
      string(APPEND pointers "kKey${QB_KEY_COUNT}, ")
      math(EXPR QB_KEY_COUNT "${QB_KEY_COUNT} + 1")
    endforeach()
  endif()
  if(QB_KEY_COUNT EQUAL 0)
    set(QB_KEY_LIST "nullptr")
  else()
    string(APPEND QB_KEY_DEFINITION "const uint8_t* const kKeys[] = {${pointers}};")
    set(QB_KEY_LIST "kKeys")
  endif()
  set(QB_KEY_ORIGIN "${origin}")
  configure_file("${CMAKE_SOURCE_DIR}/cmake/package_key.cpp.in" "${out}" @ONLY)
endfunction()

if(WIN32)
  qb_package_key_source("${CMAKE_BINARY_DIR}/generated/app/package_key.cpp"
                        "${QB_PACKAGE_PUBLIC_KEY}" "QB_PACKAGE_PUBLIC_KEY")
  # The demo deployment's two key pairs, made once per build folder, as a publisher changing keys
  # has them; scripts/demo and the signed end-to-end cases sign with the first one's private
  # half, one case with the second's.
  set(QB_DEMO_KEY_DIR "${CMAKE_BINARY_DIR}/demo-key")
  find_package(Python3 REQUIRED COMPONENTS Interpreter)
  set(demo_keys "")
  foreach(dir IN ITEMS "${QB_DEMO_KEY_DIR}" "${QB_DEMO_KEY_DIR}-2")
    execute_process(COMMAND "${Python3_EXECUTABLE}" "${CMAKE_SOURCE_DIR}/cmake/demo_key.py" "${dir}"
                    RESULT_VARIABLE demo_key_result)
    if(NOT demo_key_result EQUAL 0)
      message(FATAL_ERROR "cannot make the demo key pair in ${dir}")
    endif()
    file(READ "${dir}/package-signing.pub" demo_key)
    string(STRIP "${demo_key}" demo_key)
    list(APPEND demo_keys "${demo_key}")
  endforeach()
  string(REPLACE ";" "," demo_keys "${demo_keys}")
  qb_package_key_source("${CMAKE_BINARY_DIR}/generated/app/package_key_demo.cpp"
                        "${demo_keys}" "the demo keys in ${QB_DEMO_KEY_DIR}(-2)")
endif()
