# The whole-run benchmark: the reference service and our download client over loopback, with
# the receive-path benchmark run beside it for the ratio. Native bench build only.
find_package(nlohmann_json 3 REQUIRED)
add_executable(bench_whole_run whole_run_bench.cpp)
target_link_libraries(bench_whole_run PRIVATE qb_client_run qb_base_testing qb_service qb_demo_data
                      benchmark::benchmark nlohmann_json::nlohmann_json)
target_compile_definitions(bench_whole_run PRIVATE
                           "QB_NET_RECEIVE_BENCH=\"$<TARGET_FILE:bench_net_receive>\"")
add_dependencies(bench_whole_run bench_net_receive)
add_dependencies(qb_bench_targets bench_whole_run)
