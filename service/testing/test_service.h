// A reference service running inside a test: a package made in a temporary folder, every
// endpoint on 127.0.0.1 with a free port, the log lines captured.
#pragma once

#include <memory>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "service/package.h"
#include "service/service.h"
#include "service/testing/faults.h"
#include "test_support/temp_dir.h"

struct TestFile {
  std::string folder_part;  // "Data\\" or ""
  std::string file_part;
  std::string bytes;
  char kind = 'F';
};

// Deterministic binary-like bytes (a different stream per seed).
std::string TestBytes(size_t size, uint32_t seed);
// A module "Data\NAME.bin" whose file DIR/NAME holds `bytes` (written here).
PackageModule TestModule(const std::string& dir, const std::string& name,
                         const std::string& bytes);

// A zip archive of stored (uncompressed) file entries, made in memory: name -> contents.
std::string StoredZip(const std::vector<std::pair<std::string, std::string>>& entries);

// Writes package.json and the files (and a base archive when `base` is not empty) into `dir`.
void WriteTestPackage(const std::string& dir, const std::string& number,
                      const std::vector<TestFile>& files, const std::string& base = "",
                      const std::string& product_name = "\xE7\xBE\xBD\xE7\xAC\x94 ix");

class TestService {
 public:
  // Starts serving `packages` with the faults; ASSERTs in the caller's test when it cannot.
  bool Start(const std::vector<std::string>& packages, const FaultConfig& faults = {},
             int idle_timeout_s = 120);
  // The same with every option given (listen addresses are set to 127.0.0.1 with free ports,
  // the metrics endpoint too when `options.metrics_given`).
  bool Start(ServiceOptions options);
  ~TestService();
  // Stops at once, without the drain a test may have set.
  void Stop();

  ListenAddress query() const { return service_.query_address(0); }
  ListenAddress update() const { return service_.update_address(0); }
  ListenAddress download() const { return service_.download_address(); }
  ListenAddress metrics() const { return service_.metrics_address(); }
  Service& service() { return service_; }

  bool LogHas(const std::string& part);
  // Waits for a log line holding `part` (false after `timeout_ms`).
  bool WaitForLog(const std::string& part, int timeout_ms = 30000);
  // Waits for `count` log lines holding `part` (false after `timeout_ms`).
  bool WaitForLogCount(const std::string& part, size_t count, int timeout_ms = 30000);
  std::vector<std::string> Log();

 private:
  Service service_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable logged_;
  std::vector<std::string> log_;
};
