# The package both service benchmarks serve, and a download of it decoded in full.
add_library(qb_bench_download STATIC download_package.cpp)
target_link_libraries(qb_bench_download PUBLIC qb_service_test_support qb_demo_data)

# The service's throughput under concurrent downloads, with and without its message cache.
add_executable(bench_service_throughput service_throughput_bench.cpp)
target_link_libraries(bench_service_throughput PRIVATE qb_service qb_bench_download qb_base_testing
                      benchmark::benchmark)
add_dependencies(qb_bench_targets bench_service_throughput)

# Downloads from a service (or nginx) running on its own, for bench/service_vs_nginx.py.
add_executable(qb_download_client download_client.cpp)
target_link_libraries(qb_download_client PRIVATE qb_bench_download qb_base_testing)
add_dependencies(qb_bench_targets qb_download_client)
