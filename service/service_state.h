// What every connection handler of one running service reads: the published packages, the
// accepted account, the download server it names and the faults it injects. Fixed once serving
// starts, so handlers share it without locks; only the fault counters change, and only on the
// serving loop's thread.
#pragma once

#include <cstdint>
#include <string>

#include "net/records.h"
#include "service/faults.h"
#include "service/package_set.h"

struct ServiceState {
  PackageSet packages;
  std::string account_user = kInstallerAccountText;
  std::string account_password = kInstallerAccountText;
  std::string download_host;  // named in the update-check reply
  int32_t download_port = 0;
  int32_t heartbeat_interval = 30;  // seconds, told to installers in the authentication link
  FaultConfig faults;
  mutable FaultCounters fault_counters;
};
