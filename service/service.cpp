// Setting up a service from its options.
#include "service/service.h"

#include "service/query_handler.h"
#include "service/service_log.h"
#include "service/session_handler.h"

std::string DemoPackageDir() { return QB_DEMO_PACKAGE_DIR; }

int Service::Start(const ServiceOptions& options, std::string* error) {
  std::vector<std::string> dirs = options.packages;
  bool demo = dirs.empty();
  if (demo) dirs.push_back(DemoPackageDir());
  for (const std::string& dir : dirs) {
    Package package;
    std::string why;
    if (!LoadPackage(dir, &package, &why) || !state_.packages.Add(std::move(package), &why)) {
      *error = "package " + dir + ": " + why;
      if (demo) {
        *error += " (the demo package needs both builds: the native build makes its data, the "
                  "windows build its \"quillbank ix.exe\")";
      }
      return kExitBadPackage;
    }
  }
  for (const Package& p : state_.packages.packages()) {
    uint64_t bytes = 0;
    for (const PackageModule& m : p.modules) bytes += m.size;
    ServiceLogF("package %s \"%s\" version %d.%d: %zu modules, %llu bytes%s, from %s",
                p.number.c_str(), p.product_name.c_str(), p.version_part3, p.version_part4,
                p.modules.size(), static_cast<unsigned long long>(bytes),
                p.base_archive_path.empty() ? "" : ", with a base archive", p.dir.c_str());
  }
  state_.faults = options.faults;
  if (options.faults.any()) ServiceLogF("faults: %s", options.faults.Describe().c_str());

  ServerLimits limits;
  limits.idle_timeout_ms = options.idle_timeout_s * 1000;
  limits.max_connections = options.max_connections;
  server_ = std::make_unique<Server>(limits, [this](const ConnectionInfo& info)
                                                 -> std::unique_ptr<ConnectionHandler> {
    if (info.kind == EndpointKind::kQuery) return std::make_unique<QueryHandler>(state_, info);
    return std::make_unique<SessionHandler>(state_, info);
  });
  for (const ListenAddress& a : options.query) {
    if (!server_->Listen(EndpointKind::kQuery, a, error)) return kExitFailure;
  }
  for (const ListenAddress& a : options.update) {
    if (!server_->Listen(EndpointKind::kUpdate, a, error)) return kExitFailure;
  }
  if (!server_->Listen(EndpointKind::kDownload, options.download, error)) return kExitFailure;
  query_count_ = options.query.size();
  update_count_ = options.update.size();

  // The download server installers are sent to: as given, else the download listener; a port
  // of 0 means the port that listener got.
  const ListenAddress& bound = download_address();
  state_.download_host = options.advertise.host;
  state_.download_port = options.advertise.port != 0 ? options.advertise.port : bound.port;
  if (state_.download_host == "0.0.0.0") state_.download_host = "127.0.0.1";
  ServiceLogF("installers are sent to download server %s:%d", state_.download_host.c_str(),
              state_.download_port);
  return kExitOk;
}

void Service::Run() {
  if (server_) server_->Run();
}

void Service::Stop() {
  if (server_) server_->Stop();
}
