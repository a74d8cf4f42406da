# Dependencies of the windows build: zlib from Debian's mingw package; LZO2 and minizip compiled
# as static libraries from Debian's source packages (fetched by scripts/setup, or here if
# missing); GoogleTest from Debian's /usr/src/googletest.
set(QB_THIRD_PARTY_SRC "${CMAKE_SOURCE_DIR}/build/third_party_src")

# Test programs run under Wine through cmake/qb-wine, in a prefix of this build folder: win32 for
# the i686 product build (the WoW64 Wine, or the host's 32-bit Wine where there is none), win64
# for the x86-64 one (the host's 64-bit Wine). qb-wine picks the Wine when a test runs, not here.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(QB_WINE_ARCH win64)
else()
  set(QB_WINE_ARCH win32)
endif()
set(QB_WINEPREFIX "${CMAKE_BINARY_DIR}/wineprefix")
set(CMAKE_CROSSCOMPILING_EMULATOR
    "${CMAKE_SOURCE_DIR}/cmake/qb-wine;run;${QB_WINE_ARCH};${QB_WINEPREFIX}")

function(qb_debian_source name pattern out_var)
  file(GLOB found LIST_DIRECTORIES true "${QB_THIRD_PARTY_SRC}/${pattern}")
  if(NOT found)
    file(MAKE_DIRECTORY "${QB_THIRD_PARTY_SRC}")
    execute_process(COMMAND apt-get source -q ${name}
                    WORKING_DIRECTORY "${QB_THIRD_PARTY_SRC}" RESULT_VARIABLE rc OUTPUT_QUIET)
    file(GLOB found LIST_DIRECTORIES true "${QB_THIRD_PARTY_SRC}/${pattern}")
    if(NOT found)
      message(FATAL_ERROR "Debian source package ${name} missing; run scripts/setup")
    endif()
  endif()
  foreach(f ${found})
    if(IS_DIRECTORY "${f}")
      set(${out_var} "${f}" PARENT_SCOPE)
    endif()
  endforeach()
endfunction()

find_library(QB_MINGW_ZLIB NAMES libz.a z REQUIRED)
find_path(QB_MINGW_ZLIB_INCLUDE zlib.h REQUIRED)
add_library(qb_zlib INTERFACE)
target_link_libraries(qb_zlib INTERFACE "${QB_MINGW_ZLIB}")
target_include_directories(qb_zlib INTERFACE "${QB_MINGW_ZLIB_INCLUDE}")

qb_debian_source(lzo2 "lzo2-*" LZO_SRC)
file(GLOB LZO_SOURCES "${LZO_SRC}/src/*.c")
add_library(qb_lzo2 STATIC ${LZO_SOURCES})
target_include_directories(qb_lzo2 PUBLIC "${LZO_SRC}/include" PRIVATE "${LZO_SRC}")
target_compile_options(qb_lzo2 PRIVATE -w -O2)

qb_debian_source(minizip "minizip-*" MINIZIP_SRC)
# Callers include <minizip/unzip.h> as with Debian's native package.
set(MINIZIP_INCLUDE "${CMAKE_BINARY_DIR}/third_party/include")
foreach(h unzip.h ioapi.h)
  configure_file("${MINIZIP_SRC}/${h}" "${MINIZIP_INCLUDE}/minizip/${h}" COPYONLY)
endforeach()
add_library(qb_minizip STATIC "${MINIZIP_SRC}/unzip.c" "${MINIZIP_SRC}/ioapi.c")
target_include_directories(qb_minizip PUBLIC "${MINIZIP_INCLUDE}" PRIVATE "${MINIZIP_INCLUDE}/minizip")
target_compile_options(qb_minizip PRIVATE -w -O2)
target_link_libraries(qb_minizip PUBLIC qb_zlib)

set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest "${CMAKE_BINARY_DIR}/googletest" EXCLUDE_FROM_ALL)
# Our own main: GoogleTest's, plus a wait for threads still starting when the tests are done.
add_library(qb_gtest_main STATIC "${CMAKE_SOURCE_DIR}/test_support/gtest_main_win.cpp")
target_link_libraries(qb_gtest_main PUBLIC gtest gmock)
