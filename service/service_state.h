// What every connection handler of one running service reads, in every worker loop: the
// published packages, the accepted account, the download server it names and the fault plan of
// a test build (none in the operators' build). All but the packages are set before the loops
// start and only read after. A reload publishes a new package set; a connection keeps the set
// it started with alive.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "wire/records.h"
#include "service/fault_plan.h"
#include "service/package_set.h"

// The package set served to new connections, swapped by a reload while the loops read it.
class PublishedPackages {
 public:
  std::shared_ptr<const PackageSet> Get() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return set_;
  }
  void Publish(std::shared_ptr<const PackageSet> set) {
    std::lock_guard<std::mutex> lock(mutex_);
    set_.swap(set);
    // The old set goes with `set` here, or with the last connection still holding it.
  }

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<const PackageSet> set_ = std::make_shared<PackageSet>();
};

struct ServiceState {
  PublishedPackages packages;
  std::string account_user = kInstallerAccountText;
  std::string account_password = kInstallerAccountText;
  std::string download_host;  // named in the update-check reply
  int32_t download_port = 0;
  int32_t heartbeat_interval = 30;  // seconds, told to installers in the authentication link
  bool ranges = true;  // parts of module files are answered (serve --no-ranges: refused)
  std::shared_ptr<FaultPlan> faults;  // null: none
};
