// The package that the service benchmarks serve, and one download of it decoded in full: shared
// by the in-process throughput benchmark and the client that sets the service beside nginx.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "wire/records.h"
#include "service/testing/test_client.h"

constexpr int kBenchFiles = 16;
constexpr uint32_t kBenchFileSize = 1 << 20;  // 16 MiB a download

// Writes the package (package number "100201"): kBenchFiles files of quote-like data,
// Data\part0.day ..., with its package.json, into `dir`.
void WriteBenchPackage(const std::string& dir);

// One installer's download decoded in full: link, ask for every module, read until the last
// message. Returns the number of reply frames (0 on failure); adds the file data they carried
// to `bytes` when it is given.
size_t DecodedDownload(const ListenAddress& download, const std::vector<ModuleRecord>& records,
                       uint64_t* bytes = nullptr);
