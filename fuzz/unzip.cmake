# Archive bytes into TUnzip: nothing may appear outside the extraction folder.
add_executable(fuzz_unzip "${CMAKE_CURRENT_SOURCE_DIR}/unzip_fuzz.cpp")
target_link_libraries(fuzz_unzip PRIVATE qb_install)
target_compile_options(fuzz_unzip PRIVATE -fsanitize=fuzzer)
target_link_options(fuzz_unzip PRIVATE -fsanitize=fuzzer)
add_dependencies(qb_fuzz_targets fuzz_unzip)
