// What a running service counts for its operators, and its Prometheus text exposition. Counted
// and read in the loop's thread only, so plain integers do.
#pragma once

#include <cstdint>
#include <iterator>
#include <map>
#include <string>

#include "service/endpoint.h"
#include "service/package_set.h"
#include "service/server.h"

struct ServiceMetrics {
  uint64_t installs_started = 0;    // download connections that asked for something
  uint64_t installs_completed = 0;  // ... and sent everything asked, module files included
  std::map<std::string, uint64_t> installs_failed;  // by reason: closed before that
  // Module files each completed install was sent, as a histogram: what installers reusing an
  // earlier install save shows here. Bucket i counts installs of at most kFileBuckets[i] files.
  static constexpr uint64_t kFileBuckets[] = {1, 10, 100, 1000, 10000, 100000};
  uint64_t install_files_buckets[std::size(kFileBuckets)] = {};
  uint64_t install_files_sum = 0;
  void CountInstallFiles(uint64_t files);
  // By code, counted per message: numbers here, labels ("0x3071") only when the metrics are read.
  std::map<uint16_t, uint64_t> messages_in;   // requests the service knows
  uint64_t messages_in_other = 0;             // codes a client made up
  std::map<uint16_t, uint64_t> messages_out;
  std::map<std::string, uint64_t> refused;          // requests refused, by reason
  uint64_t reloads = 0;
  uint64_t reload_failures = 0;

  void CountIn(uint16_t code);
  void CountOut(uint16_t code);
};

// The text GET /metrics answers: every counter above, the server's per-endpoint connection and
// byte counters, and one line per package served.
std::string MetricsText(const ServiceMetrics& metrics, const PackageSet& packages,
                        const Server& server);
