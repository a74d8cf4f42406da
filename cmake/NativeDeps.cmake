# Dependencies of the native build: Debian's -dev packages.
find_package(PkgConfig REQUIRED)
find_package(ZLIB REQUIRED)
pkg_check_modules(MINIZIP REQUIRED IMPORTED_TARGET minizip)
find_library(QB_LZO2_LIB lzo2 REQUIRED)
find_path(QB_LZO2_INCLUDE lzo/lzo1x.h REQUIRED)
find_package(GTest REQUIRED)

add_library(qb_zlib INTERFACE)
target_link_libraries(qb_zlib INTERFACE ZLIB::ZLIB)
add_library(qb_lzo2 INTERFACE)
target_link_libraries(qb_lzo2 INTERFACE "${QB_LZO2_LIB}")
target_include_directories(qb_lzo2 INTERFACE "${QB_LZO2_INCLUDE}")
# Debian's pkg-config names .../include/minizip; callers write <minizip/unzip.h>.
add_library(qb_minizip INTERFACE)
target_link_libraries(qb_minizip INTERFACE PkgConfig::MINIZIP)
add_library(qb_gtest_main INTERFACE)
target_link_libraries(qb_gtest_main INTERFACE GTest::gtest_main GTest::gmock)
