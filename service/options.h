// The command line of quillbank-service: serve, pack and keygen, with their flags.
#pragma once

#include <cstdint>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "service/endpoint.h"
#include "service/pack.h"

class FaultPlan;

// Exit codes of the program.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;     // cannot listen, cannot write, ...
constexpr int kExitUsage = 2;       // bad command line
constexpr int kExitBadPackage = 3;  // a package folder that cannot be served

struct ServiceOptions {
  enum class Command { kServe, kPack, kKeygen, kSign, kHelp };
  Command command = Command::kHelp;

  // serve
  std::vector<std::string> packages;  // empty (and no releases): the demo package of the build
  std::vector<std::string> releases;  // releases folders (releases.h), one per package
  std::vector<ListenAddress> query;
  std::vector<ListenAddress> update;
  ListenAddress download;
  bool advertise_given = false;
  ListenAddress advertise;  // what the update-check reply names; default: `download`
  int idle_timeout_s = 120;
  size_t max_connections = 1024;
  uint64_t cache_mib = 512;  // compressed download messages kept, all packages together
  bool metrics_given = false;
  ListenAddress metrics;  // the Prometheus endpoint (GET /metrics, /healthz), only when given
  // Its connections have slots of their own, apart from --max-connections, and a short idle
  // time-out: slow or silent clients must not keep a load balancer's health check out. At
  // the budget, a new one closes the one that has waited longest for its request.
  size_t metrics_connections = 16;
  int metrics_idle_timeout_s = 5;
  size_t workers = 0;     // event loops serving connections, one thread each; 0: one per core
  // Once a stop is asked: how long the service goes on serving, with /healthz answering 503 so
  // that load balancers take it out of rotation, before it closes every connection.
  int drain_ms = 5000;
  std::string log_file;
  bool quiet = false;
  bool ranges = true;  // answers requests for parts of module files (--no-ranges: refused)
  std::shared_ptr<FaultPlan> faults;  // a test build's; none from the command line alone

  // pack
  std::string pack_tree;
  std::string pack_out;
  PackOptions pack;

  // keygen
  std::string keygen_dir;

  // sign
  std::string sign_dir;
  std::string sign_key_file;
  int sign_expires_days = 0;
  uint64_t sign_expires_at = 0;
  ManifestOptions sign_manifest;  // format, range offer and chunk sizes
};

// More serve options, which a test build of the program adds: flags take a value ("--name
// VALUE" or "--name=VALUE"), switches take none; `help` goes into the usage text after the
// serve options; `finish` checks them once all are read.
struct ServeOptionExtension {
  std::map<std::string, std::function<bool(const std::string&)>> flags;
  std::map<std::string, std::function<void()>> switches;
  std::string help;
  std::function<bool(std::string* error)> finish;
};

// The handler of a flag whose value is a whole number in [min, max], given to `set`.
std::function<bool(const std::string&)> NumberOption(long long min, long long max,
                                                     std::function<void(long long)> set);

// Fills `options` from argv (defaults: the deployment addresses of this build). False with a
// message in `error` on anything it does not understand.
bool ParseOptions(int argc, const char* const* argv, ServiceOptions* options, std::string* error,
                  const ServeOptionExtension* extension = nullptr);

std::string UsageText(const ServeOptionExtension* extension = nullptr);
