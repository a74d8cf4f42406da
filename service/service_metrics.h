// What a running service counts for its operators, and its Prometheus text exposition. Each
// worker loop counts into its own ServiceMetrics; the metrics endpoint sums copies of them.
#pragma once

#include <cstdint>
#include <iterator>
#include <map>
#include <mutex>
#include <string>

#include "service/endpoint.h"
#include "service/package_set.h"
#include "service/server.h"

// The counts themselves, as one copy: what a worker counted, or the sum over all of them.
struct MetricsCounts {
  uint64_t installs_started = 0;    // download connections that asked for something
  uint64_t installs_completed = 0;  // ... and sent everything asked, module files included
  std::map<std::string, uint64_t> installs_failed;  // by reason: closed before that
  // Module files each completed install was sent, as a histogram: what installers reusing an
  // earlier install save shows here. Bucket i counts installs of at most kFileBuckets[i] files.
  static constexpr uint64_t kFileBuckets[] = {1, 10, 100, 1000, 10000, 100000};
  uint64_t install_files_buckets[std::size(kFileBuckets)] = {};
  uint64_t install_files_sum = 0;
  // By code, counted per message: numbers here, labels ("0x3071") only when the metrics are read.
  std::map<uint16_t, uint64_t> messages_in;   // requests the service knows
  uint64_t messages_in_other = 0;             // codes a client made up
  std::map<uint16_t, uint64_t> messages_out;
  std::map<std::string, uint64_t> refused;          // requests refused, by reason
  uint64_t reloads = 0;
  uint64_t reload_failures = 0;
  // Module files and their bytes asked for by downloads, by the package and version they were
  // found in (the labels as they go out: package="100201",version="5.17").
  std::map<std::string, uint64_t> version_files;
  std::map<std::string, uint64_t> version_bytes;
  // Parts of module files asked for: requests, ranges and their bytes.
  uint64_t range_requests = 0;
  uint64_t ranges = 0;
  uint64_t range_bytes = 0;

  MetricsCounts& operator+=(const MetricsCounts& other);
};

// What one loop counts. The loop adds and the metrics endpoint copies from another thread, so
// each step takes a lock of its own: held for a few map updates, and contended only by a read.
class ServiceMetrics {
 public:
  void CountIn(uint16_t code);
  void CountOut(uint16_t code);
  void CountRefused(const std::string& reason);
  void CountInstallStarted();
  // An install completed with `module_files` module files sent.
  void CountInstallCompleted(uint64_t module_files);
  void CountInstallFailed(const std::string& reason);
  void CountReload();
  // A download asked for `files` module files of `bytes` bytes of version part3.part4 of
  // package `number`.
  void CountVersionDownload(const std::string& number, int32_t part3, int32_t part4,
                            uint64_t files, uint64_t bytes);
  void CountReloadFailure();
  // A request for `ranges` parts of module files, `bytes` together.
  void CountRangeRequest(uint64_t ranges, uint64_t bytes);

  MetricsCounts Counts() const;

 private:
  mutable std::mutex mutex_;
  MetricsCounts counts_;
};

// The text GET /metrics answers: every count above, the per-endpoint connection and byte
// counters (summed over the loops), and one line per package served.
std::string MetricsText(const MetricsCounts& counts, const PackageSet& packages,
                        const EndpointCounters (&endpoints)[kEndpointKinds]);
