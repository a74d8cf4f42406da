# Helpers shared by every folder: platform-pair sources and one test program per *_test.cpp.

# Adds NAME_win.cpp or NAME_posix.cpp (whichever fits the build) for each NAME given.
function(qb_platform_sources target)
  foreach(name ${ARGN})
    if(WIN32)
      target_sources(${target} PRIVATE "${CMAKE_CURRENT_SOURCE_DIR}/${name}_win.cpp")
    else()
      target_sources(${target} PRIVATE "${CMAKE_CURRENT_SOURCE_DIR}/${name}_posix.cpp")
    endif()
  endforeach()
endfunction()

# One GoogleTest program per *_test.cpp in the calling folder, registered with ctest in both
# builds. *_win_test.cpp only in the windows build, *_posix_test.cpp only natively. Windows test
# programs link the test resource script (string 102) and run under Wine via the emulator.
#   qb_add_tests(LIBS lib... [LABELS label...] [EXCLUDE file...])
# EXCLUDE names test files the folder registers itself (other libraries, other properties).
function(qb_add_tests)
  cmake_parse_arguments(ARG "" "" "LIBS;LABELS;EXCLUDE" ${ARGN})
  file(GLOB tests RELATIVE "${CMAKE_CURRENT_SOURCE_DIR}" CONFIGURE_DEPENDS
       "${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp")
  get_filename_component(folder "${CMAKE_CURRENT_SOURCE_DIR}" NAME)
  foreach(src ${tests})
    if(src IN_LIST ARG_EXCLUDE)
      continue()
    endif()
    if(src MATCHES "_win_test\\.cpp$" AND NOT WIN32)
      continue()
    endif()
    if(src MATCHES "_posix_test\\.cpp$" AND WIN32)
      continue()
    endif()
    get_filename_component(name "${src}" NAME_WE)
    set(target "${folder}_${name}")
    add_executable(${target} "${src}")
    target_link_libraries(${target} PRIVATE ${ARG_LIBS} qb_test_support qb_gtest_main
                          qb_base_testing)
    if(WIN32)
      target_sources(${target} PRIVATE "${CMAKE_SOURCE_DIR}/res/test_strings.rc")
    endif()
    add_test(NAME ${target} COMMAND ${target})
    set_tests_properties(${target} PROPERTIES LABELS "${folder};${ARG_LABELS}"
                         ENVIRONMENT "QB_SOURCE_DIR=${CMAKE_SOURCE_DIR}")
  endforeach()
endfunction()
