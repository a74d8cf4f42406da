// One running reference service: loads the packages, listens on every endpoint, and serves
// until stopped. main() and the tests drive it the same way. One loop accepts and hands each
// connection to one of the worker loops (a thread per core by default), which serves it to
// its end; the packages, their message caches and the fault plan are shared by all.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "service/options.h"
#include "service/releases.h"
#include "service/server.h"
#include "service/service_metrics.h"
#include "service/service_state.h"
#include "service/unique_fd.h"
#include "service/worker_pool.h"

class Service {
 public:
  Service() = default;
  ~Service();
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  // Loads the packages named in `options` (or the default package folder) and binds every
  // listen address. Returns kExitOk, or kExitBadPackage / kExitFailure with the reason in
  // `error`.
  int Start(const ServiceOptions& options, std::string* error);
  // Takes SIGHUP (reload), SIGINT and SIGTERM (stop) in the accepting loop through a signal
  // descriptor. The caller has blocked them in every thread. False with the reason when it
  // cannot.
  bool HandleSignals(std::string* error);
  // Starts the worker loops and runs the accepting one until the service stops; every
  // connection is closed when it returns.
  void Run();
  // Asks the service to stop (from any thread or a signal handler): /healthz answers 503 at
  // once, connections go on being served for the drain time (--drain), then all close. Asked
  // again during the drain, it stops at once.
  void Stop();
  // Stops at once, without the drain (from any thread).
  void StopNow();
  // Asks the accepting loop to reload the package folders (from any thread), as SIGHUP does.
  void RequestReload();

  const ServiceState& state() const { return state_; }
  // True once a stop was asked and taken up: what /healthz answers 503 for.
  bool stopping() const { return stopping_.load(); }
  size_t worker_count() const { return workers_ ? workers_->size() : 0; }
  // What every loop counted, summed.
  MetricsCounts Counts() const;
  // Bound addresses, with real ports where 0 was asked.
  const ListenAddress& query_address(size_t i) const { return acceptor_->bound()[i]; }
  const ListenAddress& update_address(size_t i) const {
    return acceptor_->bound()[query_count_ + i];
  }
  const ListenAddress& download_address() const {
    return acceptor_->bound()[query_count_ + update_count_];
  }
  // The metrics listener's address; only when --metrics was given.
  const ListenAddress& metrics_address() const {
    return acceptor_->bound()[query_count_ + update_count_ + 1];
  }
  size_t connection_count() const;

 private:
  // Reads every package folder again. A folder that fails keeps its package as it was loaded
  // before, with a log line saying why; the others are served anew. In the accepting loop.
  void Reload();
  void OnSignal();
  // A stop was asked: starts the drain, or stops at once when one runs already (or none is
  // wanted). In the accepting loop.
  void StopAsked();
  // A new message cache for a package set, unless --cache-mib 0 turned the cache off: then the
  // set has none and downloads run as they would without one.
  void SetCache(PackageSet* packages) const;
  std::unique_ptr<ConnectionHandler> MakeHandler(const ConnectionInfo& info,
                                                 ServiceMetrics* metrics);
  std::string MetricsPage() const;

  ServiceState state_;
  // The accepting loop: every listener, signals, reloads and the stop, and the metrics
  // endpoint, which it serves itself so that /healthz answers however busy the workers are.
  ServiceMetrics acceptor_metrics_;  // reloads
  std::unique_ptr<Server> acceptor_;
  std::vector<std::unique_ptr<ServiceMetrics>> worker_metrics_;
  std::unique_ptr<WorkerPool> workers_;
  std::vector<std::string> dirs_;  // the package folders, in --package order
  std::vector<std::string> release_dirs_;
  std::vector<Releases> releases_;  // what each releases folder serves now
  bool default_dir_ = false;       // no --package: the build's default folder
  size_t query_count_ = 0;
  size_t update_count_ = 0;
  std::shared_ptr<MessageCacheBudget> cache_budget_ = std::make_shared<MessageCacheBudget>();
  int drain_ms_ = 0;
  std::atomic<bool> stopping_{false};
  UniqueFd reload_fd_;  // eventfd: RequestReload from another thread
  UniqueFd stop_fd_;    // eventfd: Stop from another thread or a signal handler
  UniqueFd drain_fd_;   // timerfd: the end of the drain
  UniqueFd signal_fd_;
};

// The folder `serve` uses without --package: the demo package this build assembled, or the
// system's package folder in the build operators install.
std::string DemoPackageDir();
