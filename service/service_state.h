// What every connection handler of one running service reads: the published packages, the
// accepted account, the download server it names, the fault plan of a test build (none in the
// operators' build), and the metrics they add to. Only the loop's thread touches it, so handlers share it
// without locks. A reload replaces `packages` with a new set; a connection keeps the set it
// started with alive.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "wire/records.h"
#include "service/fault_plan.h"
#include "service/package_set.h"
#include "service/service_metrics.h"

struct ServiceState {
  std::shared_ptr<const PackageSet> packages = std::make_shared<PackageSet>();
  std::string account_user = kInstallerAccountText;
  std::string account_password = kInstallerAccountText;
  std::string download_host;  // named in the update-check reply
  int32_t download_port = 0;
  int32_t heartbeat_interval = 30;  // seconds, told to installers in the authentication link
  std::shared_ptr<FaultPlan> faults;  // null: none
  mutable ServiceMetrics metrics;
};
