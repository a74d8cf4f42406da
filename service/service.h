// One running reference service: loads the packages, listens on every endpoint, and serves
// until stopped. main() and the tests drive it the same way.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "service/options.h"
#include "service/server.h"
#include "service/service_state.h"
#include "service/unique_fd.h"

class Service {
 public:
  Service() = default;
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  // Loads the packages named in `options` (or the default package folder) and binds every
  // listen address. Returns kExitOk, or kExitBadPackage / kExitFailure with the reason in
  // `error`.
  int Start(const ServiceOptions& options, std::string* error);
  // Takes SIGHUP (reload), SIGINT and SIGTERM (stop) in the loop through a signal descriptor.
  // The caller has blocked them in every thread. False with the reason when it cannot.
  bool HandleSignals(std::string* error);
  // Serves until Stop() (from any thread or a signal handler).
  void Run();
  void Stop();
  // Asks the loop to reload the package folders (from any thread), as SIGHUP does.
  void RequestReload();

  const ServiceState& state() const { return state_; }
  // Bound addresses, with real ports where 0 was asked.
  const ListenAddress& query_address(size_t i) const { return server_->bound()[i]; }
  const ListenAddress& update_address(size_t i) const {
    return server_->bound()[query_count_ + i];
  }
  const ListenAddress& download_address() const {
    return server_->bound()[query_count_ + update_count_];
  }
  // The metrics listener's address; only when --metrics was given.
  const ListenAddress& metrics_address() const {
    return server_->bound()[query_count_ + update_count_ + 1];
  }
  size_t connection_count() const { return server_ ? server_->connection_count() : 0; }

 private:
  // Reads every package folder again. A folder that fails keeps its package as it was loaded
  // before, with a log line saying why; the others are served anew. In the loop's thread.
  void Reload();
  void OnSignal();
  // A new message cache for a package set, unless --cache-mib 0 turned the cache off: then the
  // set has none and downloads run as they would without one.
  void SetCache(PackageSet* packages) const;

  ServiceState state_;
  std::unique_ptr<Server> server_;
  std::vector<std::string> dirs_;  // the package folders, in --package order
  bool default_dir_ = false;       // no --package: the build's default folder
  size_t query_count_ = 0;
  size_t update_count_ = 0;
  std::shared_ptr<MessageCacheBudget> cache_budget_ = std::make_shared<MessageCacheBudget>();
  UniqueFd reload_fd_;  // eventfd: RequestReload from another thread
  UniqueFd signal_fd_;
};

// The folder `serve` uses without --package: the demo package this build assembled, or the
// system's package folder in the build operators install.
std::string DemoPackageDir();
