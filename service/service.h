// One running reference service: loads the packages, listens on every endpoint, and serves
// until stopped. main() and the tests drive it the same way.
#pragma once

#include <memory>
#include <string>

#include "service/options.h"
#include "service/server.h"
#include "service/service_state.h"

class Service {
 public:
  Service() = default;
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  // Loads the packages named in `options` (or the demo package) and binds every listen address.
  // Returns kExitOk, or kExitBadPackage / kExitFailure with the reason in `error`.
  int Start(const ServiceOptions& options, std::string* error);
  // Serves until Stop() (from any thread or a signal handler).
  void Run();
  void Stop();

  const ServiceState& state() const { return state_; }
  // Bound addresses, with real ports where 0 was asked.
  const ListenAddress& query_address(size_t i) const { return server_->bound()[i]; }
  const ListenAddress& update_address(size_t i) const {
    return server_->bound()[query_count_ + i];
  }
  const ListenAddress& download_address() const {
    return server_->bound()[query_count_ + update_count_];
  }
  size_t connection_count() const { return server_ ? server_->connection_count() : 0; }

 private:
  ServiceState state_;
  std::unique_ptr<Server> server_;
  size_t query_count_ = 0;
  size_t update_count_ = 0;
};

// The folder `serve` uses without --package: the demo package this build assembled.
std::string DemoPackageDir();
