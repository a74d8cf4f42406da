// The command line of quillbank-service: serve, pack and keygen, with their flags.
#pragma once

#include <string>
#include <vector>

#include "service/endpoint.h"
#include "service/faults.h"
#include "service/pack.h"

// Exit codes of the program.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;     // cannot listen, cannot write, ...
constexpr int kExitUsage = 2;       // bad command line
constexpr int kExitBadPackage = 3;  // a package folder that cannot be served

struct ServiceOptions {
  enum class Command { kServe, kPack, kKeygen, kSign, kHelp };
  Command command = Command::kHelp;

  // serve
  std::vector<std::string> packages;  // empty: the demo package of the build
  std::vector<ListenAddress> query;
  std::vector<ListenAddress> update;
  ListenAddress download;
  bool advertise_given = false;
  ListenAddress advertise;  // what the update-check reply names; default: `download`
  int idle_timeout_s = 120;
  size_t max_connections = 1024;
  uint64_t cache_mib = 512;  // compressed download messages kept, all packages together
  bool metrics_given = false;
  ListenAddress metrics;  // the Prometheus endpoint (GET /metrics), only when given
  std::string log_file;
  bool quiet = false;
  FaultConfig faults;

  // pack
  std::string pack_tree;
  std::string pack_out;
  PackOptions pack;

  // keygen
  std::string keygen_dir;

  // sign
  std::string sign_dir;
  std::string sign_key_file;
};

// Fills `options` from argv (defaults: the deployment addresses of this build). False with a
// message in `error` on anything it does not understand.
bool ParseOptions(int argc, const char* const* argv, ServiceOptions* options, std::string* error);

std::string UsageText();
