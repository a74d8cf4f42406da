// Command-line parsing for quillbank-service.
#include "service/options.h"

#include <cstdlib>
#include <functional>
#include <map>
#include <memory>

#include "base/deployment_values.h"

namespace {

bool ParseInt(const std::string& text, long long min, long long max, long long* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  long long value = std::strtoll(text.c_str(), &end, 10);
  if (*end != '\0' || value < min || value > max) return false;
  *out = value;
  return true;
}

bool ParseVersion(const std::string& text, int32_t* part3, int32_t* part4) {
  size_t dot = text.find('.');
  long long a = 0, b = 0;
  if (dot == std::string::npos || !ParseInt(text.substr(0, dot), INT32_MIN, INT32_MAX, &a) ||
      !ParseInt(text.substr(dot + 1), INT32_MIN, INT32_MAX, &b)) {
    return false;
  }
  *part3 = static_cast<int32_t>(a);
  *part4 = static_cast<int32_t>(b);
  return true;
}

void SetDefaults(ServiceOptions* o) {
  for (const char* host : {QB_QUERY_SERVER_0, QB_QUERY_SERVER_1, QB_QUERY_SERVER_2,
                           QB_QUERY_SERVER_3}) {
    o->query.push_back({host, static_cast<uint16_t>(QB_QUERY_PORT)});
  }
  for (int i = 1; i <= 3; ++i) {
    char host[64];
    snprintf(host, sizeof(host), QB_UPDATE_HOST_PATTERN, i);
    o->update.push_back({host, static_cast<uint16_t>(QB_UPDATE_PORT)});
  }
  o->download = {QB_DOWNLOAD_HOST, static_cast<uint16_t>(QB_DOWNLOAD_PORT)};
}

}  // namespace

namespace {

using ValueHandler = std::function<bool(const std::string&)>;

// The options of one command: flags take a value ("--name VALUE" or "--name=VALUE"), switches
// take none.
struct OptionTable {
  std::map<std::string, ValueHandler> flags;
  std::map<std::string, std::function<void()>> switches;
};

// A listen-address flag: the first use replaces the deployment's defaults, later ones add.
ValueHandler AddressList(std::vector<ListenAddress>* list, uint16_t port) {
  auto given = std::make_shared<bool>(false);
  return [=](const std::string& v) {
    if (!*given) list->clear();
    *given = true;
    ListenAddress a;
    if (!ParseListenAddress(v, port, &a)) return false;
    list->push_back(a);
    return true;
  };
}

template <typename Setter>
ValueHandler Number(long long min, long long max, Setter setter) {
  return [=](const std::string& v) {
    long long n = 0;
    if (!ParseInt(v, min, max, &n)) return false;
    setter(n);
    return true;
  };
}

OptionTable ServeOptionTable(ServiceOptions* o, const ServeOptionExtension* extension) {
  OptionTable table;
  table.flags = {
      {"--package", [=](const std::string& v) { o->packages.push_back(v); return !v.empty(); }},
      {"--releases", [=](const std::string& v) { o->releases.push_back(v); return !v.empty(); }},
      {"--query", AddressList(&o->query, QB_QUERY_PORT)},
      {"--update", AddressList(&o->update, QB_UPDATE_PORT)},
      {"--download",
       [=](const std::string& v) { return ParseListenAddress(v, QB_DOWNLOAD_PORT, &o->download); }},
      {"--advertise",
       [=](const std::string& v) {
         o->advertise_given = true;
         return ParseListenAddress(v, 0, &o->advertise);
       }},
      {"--idle-timeout", Number(1, 86400, [=](long long n) { o->idle_timeout_s = int(n); })},
      {"--max-connections", Number(1, 100000, [=](long long n) { o->max_connections = n; })},
      {"--log", [=](const std::string& v) { o->log_file = v; return !v.empty(); }},
  };
  // Operations.
  table.flags["--cache-mib"] = Number(0, 1 << 20, [=](long long n) { o->cache_mib = n; });
  table.flags["--metrics"] = [=](const std::string& v) {
    o->metrics_given = true;
    ListenAddress a;
    if (!ParseListenAddress(v, 0, &a) || a.port == 0) return false;
    o->metrics = a;
    return true;
  };
  table.flags["--workers"] = Number(1, 1024, [=](long long n) { o->workers = size_t(n); });
  table.flags["--drain"] = Number(0, 3600, [=](long long n) { o->drain_ms = int(n) * 1000; });
  table.switches = {
      {"--quiet", [=] { o->quiet = true; }},
      {"--no-ranges", [=] { o->ranges = false; }},
  };
  if (extension != nullptr) {
    for (const auto& [name, handler] : extension->flags) table.flags[name] = handler;
    for (const auto& [name, handler] : extension->switches) table.switches[name] = handler;
  }
  return table;
}

// The manifest flags pack --sign and sign share.
void AddManifestFlags(OptionTable* table, ManifestOptions* m) {
  table->flags["--manifest-format"] = Number(2, 3, [=](long long n) {
    m->format = static_cast<uint16_t>(n);
  });
  // The average chunk size; the smallest a quarter of it, the largest four times it.
  table->flags["--chunk-kib"] = [=](const std::string& v) {
    char* end = nullptr;
    const unsigned long kib = std::strtoul(v.c_str(), &end, 10);
    if (v.empty() || *end != '\0' || kib < 1 || kib > 1024) return false;
    m->chunk_sizes = {static_cast<uint32_t>(kib * 256), static_cast<uint32_t>(kib * 1024),
                      static_cast<uint32_t>(kib * 4096)};
    return ChunkSizesValid(m->chunk_sizes);
  };
  table->switches["--no-ranges"] = [=] { m->offers_ranges = false; };
}

OptionTable PackOptionTable(ServiceOptions* o) {
  PackOptions* p = &o->pack;
  OptionTable table;
  table.flags = {
      {"--number", [=](const std::string& v) { p->number = v; return true; }},
      {"--name", [=](const std::string& v) { p->product_name = v; return true; }},
      {"--key", [=](const std::string& v) { p->package_key = v; return v.size() <= 10; }},
      {"--base", [=](const std::string& v) { p->base_archive = v; return !v.empty(); }},
      {"--sign", [=](const std::string& v) { p->signing_key_file = v; return !v.empty(); }},
      {"--expires", Number(1, 36500, [=](long long n) { p->expires_days = int(n); })},
      {"--expires-at",
       Number(1, INT64_MAX, [=](long long n) { p->expires_at = uint64_t(n); })},
      {"--version",
       [=](const std::string& v) { return ParseVersion(v, &p->version_part3, &p->version_part4); }},
  };
  AddManifestFlags(&table, &p->manifest);
  return table;
}

OptionTable SignOptionTable(ServiceOptions* o) {
  OptionTable table;
  table.flags = {
      {"--key", [=](const std::string& v) { o->sign_key_file = v; return !v.empty(); }},
      {"--expires", Number(1, 36500, [=](long long n) { o->sign_expires_days = int(n); })},
      {"--expires-at",
       Number(1, INT64_MAX, [=](long long n) { o->sign_expires_at = uint64_t(n); })},
  };
  AddManifestFlags(&table, &o->sign_manifest);
  return table;
}

enum class ArgumentsResult { kDone, kHelp, kError };

// Applies argv[2..] to `table`, collecting the arguments that are not options.
ArgumentsResult ParseArguments(int argc, const char* const* argv, const OptionTable& table,
                               std::vector<std::string>* positional, std::string* error) {
  for (int i = 2; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") return ArgumentsResult::kHelp;
    if (arg.rfind("--", 0) != 0) {
      positional->push_back(arg);
      continue;
    }
    auto toggle = table.switches.find(arg);
    if (toggle != table.switches.end()) {
      toggle->second();
      continue;
    }
    std::string name = arg, value;
    bool has_value = false;
    size_t eq = arg.find('=');
    if (eq != std::string::npos) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
      has_value = true;
    }
    auto it = table.flags.find(name);
    if (it == table.flags.end()) {
      *error = "unknown option " + arg;
      return ArgumentsResult::kError;
    }
    if (!has_value) {
      if (i + 1 >= argc) {
        *error = "option " + name + " needs a value";
        return ArgumentsResult::kError;
      }
      value = argv[++i];
    }
    if (!it->second(value)) {
      *error = "bad value \"" + value + "\" for " + name;
      return ArgumentsResult::kError;
    }
  }
  return ArgumentsResult::kDone;
}

bool FinishServe(const std::vector<std::string>& positional, ServiceOptions* o,
                 std::string* error) {
  if (!positional.empty()) {
    *error = "serve takes no argument \"" + positional[0] + "\"";
    return false;
  }
  if (o->query.empty() || o->update.empty()) {
    *error = "no listen address left";
    return false;
  }
  if (!o->advertise_given) o->advertise = o->download;
  return true;
}

bool FinishPack(const std::vector<std::string>& positional, ServiceOptions* o,
                std::string* error) {
  if (positional.size() != 2) {
    *error = "pack needs DIR and OUT";
    return false;
  }
  o->pack_tree = positional[0];
  o->pack_out = positional[1];
  return true;
}

bool FinishSign(const std::vector<std::string>& positional, ServiceOptions* o,
                std::string* error) {
  if (positional.size() != 1 || o->sign_key_file.empty()) {
    *error = "sign needs DIR and --key KEYFILE";
    return false;
  }
  o->sign_dir = positional[0];
  return true;
}

bool FinishKeygen(const std::vector<std::string>& positional, ServiceOptions* o,
                  std::string* error) {
  if (positional.size() != 1) {
    *error = "keygen needs DIR";
    return false;
  }
  o->keygen_dir = positional[0];
  return true;
}

}  // namespace

std::function<bool(const std::string&)> NumberOption(long long min, long long max,
                                                     std::function<void(long long)> set) {
  return Number(min, max, std::move(set));
}

bool ParseOptions(int argc, const char* const* argv, ServiceOptions* o, std::string* error,
                  const ServeOptionExtension* extension) {
  *o = ServiceOptions();
  SetDefaults(o);
  if (argc < 2) {
    *error = "no command given";
    return false;
  }
  const std::string command = argv[1];
  if (command == "--help" || command == "-h" || command == "help") {
    o->command = ServiceOptions::Command::kHelp;
    return true;
  }
  if (command == "serve") {
    o->command = ServiceOptions::Command::kServe;
  } else if (command == "pack") {
    o->command = ServiceOptions::Command::kPack;
  } else if (command == "keygen") {
    o->command = ServiceOptions::Command::kKeygen;
  } else if (command == "sign") {
    o->command = ServiceOptions::Command::kSign;
  } else {
    *error = "unknown command \"" + command + "\"";
    return false;
  }
  const ServiceOptions::Command chosen = o->command;
  const OptionTable table = chosen == ServiceOptions::Command::kServe  ? ServeOptionTable(o, extension)
                            : chosen == ServiceOptions::Command::kPack ? PackOptionTable(o)
                            : chosen == ServiceOptions::Command::kSign ? SignOptionTable(o)
                                                                       : OptionTable();
  std::vector<std::string> positional;
  switch (ParseArguments(argc, argv, table, &positional, error)) {
    case ArgumentsResult::kHelp:
      o->command = ServiceOptions::Command::kHelp;
      return true;
    case ArgumentsResult::kError:
      return false;
    case ArgumentsResult::kDone:
      break;
  }
  switch (chosen) {
    case ServiceOptions::Command::kServe:
      if (!FinishServe(positional, o, error)) return false;
      return extension == nullptr || !extension->finish || extension->finish(error);
    case ServiceOptions::Command::kPack:
      return FinishPack(positional, o, error);
    case ServiceOptions::Command::kSign:
      return FinishSign(positional, o, error);
    default:
      return FinishKeygen(positional, o, error);
  }
}

std::string UsageText(const ServeOptionExtension* extension) {
  return R"(Usage:
  quillbank-service serve [--package DIR]... [--releases DIR]... [listen options]
  quillbank-service pack DIR OUT [pack options]
  quillbank-service keygen DIR
  quillbank-service sign DIR --key KEYFILE [--expires DAYS | --expires-at UTC] [manifest options]
  quillbank-service --help

serve: publishes packages to installers. Without --package or --releases it serves the demo
package of this build. Log lines go to standard error. SIGINT or SIGTERM stops it cleanly: it goes on serving
for the --drain time, with /healthz answering 503, then closes every connection (a second
signal stops it at once). SIGHUP reads the package folders again: new connections get the new
packages, connections open go on with the ones they started with, and a folder that fails to
load keeps its old package (the log says why).
  --package DIR          a package folder (package.json beside its files); repeatable
  --releases DIR         every version of one package: DIR/<P3.P4>/ each a package folder of
                         that version, never changed once there, and DIR/current, one line
                         naming the version the update check announces. Every version is
                         served to the downloads that ask for its records; SIGHUP loads new
                         version folders, drops those gone, refuses a folder that differs from
                         the version of its name served, and reads current again; repeatable
  --query ADDR[:PORT]    package-query listen address (repeatable; replaces the default four)
  --update ADDR[:PORT]   update-check listen address (repeatable; replaces the default three)
  --download ADDR[:PORT] download listen address
  --advertise ADDR[:PORT]  download server named to installers (default: --download; port 0
                         or none: the port the download listener got)
  --idle-timeout SEC     close installers' connections silent for this long (default 120)
  --max-connections N    installers' connections open at once (default 1024)
  --cache-mib N          keep the compressed download messages of modules, up to N MiB for
                         all packages (default 512; 0: none). Past it, modules not kept yet
                         are compressed again for every download; nothing is evicted
  --metrics ADDR:PORT    serve Prometheus metrics over HTTP at http://ADDR:PORT/metrics, and
                         a health check for load balancers at /healthz: 200 "ok" while
                         serving, 503 "stopping" once a stop was asked. Its connections have
                         )" + std::to_string(ServiceOptions().metrics_connections) +
         R"( slots of their own, apart from --max-connections, and close when
                         silent for )" + std::to_string(ServiceOptions().metrics_idle_timeout_s) +
         R"( s; with every slot open, a new one takes the place of the
                         one silent longest
  --workers N            event loops serving connections, one thread each (default: one per
                         core); each new connection goes to the loop with the fewest open
  --drain SEC            after SIGTERM or SIGINT, go on serving this long with /healthz
                         answering 503 before closing every connection (default 5; 0: none)
  --log FILE             append log lines to FILE instead of standard error
  --quiet                no log lines
  --no-ranges            refuse requests for parts of module files, as a service that does
                         not know them does (the connection is closed); sign the packages with
                         --no-ranges then, so that installers fetch changed files whole
)" + (extension != nullptr ? extension->help : std::string()) + R"(
pack: writes a package folder OUT from the tree DIR, one module per file (files copied; each
module's record numbered by its file's SHA-256, so that a record names one content).
  --number N             package number (default 100201)
  --name TEXT            product name, UTF-8, at most 50 bytes (default "quillbank ix")
  --version P3.P4        latest version, third and fourth part (default 1.0)
  --key KEY              package key of every module (default: the package number)
  --base ZIP             publish ZIP as the base dependency archive "SystemDepend.zip"
  --sign KEYFILE         sign the package: adds the module "package.manifest" (sizes and
                         SHA-256 of every file and of the base archive, signed with the
                         private key of KEYFILE, as keygen writes it)
  --expires DAYS         with --sign: installers refuse the manifest DAYS days after packing
                         (default: it never expires); sign again before then
  --expires-at UTC       with --sign: the same at a given time, in seconds since 1970 (UTC)
  --manifest-format N    with --sign: 3 (the default) lists every file's content-defined
                         chunks, so that installers of this release update from any version
                         by fetching only the parts that changed; 2 for installers of earlier
                         releases, which refuse format 3
  --chunk-kib N          with --sign, format 3: the average chunk size in KiB (default 32; the
                         smallest chunk a quarter of it, the largest four times it)
  --no-ranges            with --sign, format 3: tell installers that the download server does
                         not answer requests for parts of files (they then fetch changed files
                         whole)

keygen: writes a new signing key pair into DIR (created when missing): package-signing.key,
the private key (mode 0600; keep it off the servers), and package-signing.pub, the public key
an installer build takes (CMake cache variable QB_PACKAGE_PUBLIC_KEY). Never replaces a key.

sign: signs the package folder DIR in place, as pack --sign does for a new one: writes its
package.manifest for the files as they are now and adds that module to its package.json (a
manifest signed before is replaced). For packages made by other means; package.json is
replaced only once the new manifest verifies. --expires, --expires-at, --manifest-format,
--chunk-kib and --no-ranges as for pack.

Default addresses: package query )" QB_QUERY_SERVER_0 ", " QB_QUERY_SERVER_1 ", " QB_QUERY_SERVER_2
         ", " QB_QUERY_SERVER_3 R"( port )" + std::to_string(QB_QUERY_PORT) +
         "; update " QB_UPDATE_HOST_PATTERN " (1..3) port " + std::to_string(QB_UPDATE_PORT) +
         "; download " QB_DOWNLOAD_HOST " port " + std::to_string(QB_DOWNLOAD_PORT) + R"(.
Exit codes: 0 stopped cleanly, packed, signed or key written, 1 cannot listen or write (or a key
file exists already), 2 bad command line, 3 a package cannot be served.
)";
}
