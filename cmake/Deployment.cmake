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
