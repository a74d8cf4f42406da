// Setting up a service from its options, and reloading its packages.
#include "service/service.h"

#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "service/metrics_handler.h"
#include "service/query_handler.h"
#include "service/service_log.h"
#include "service/session_handler.h"

namespace {

// Loads the package of `dir`. The folder is resolved through symbolic links first, so that a
// package published by switching a link to a new folder keeps the files of the old one for the
// downloads still running from it.
bool LoadFolder(const std::string& dir, Package* package, std::string* why) {
  std::error_code ec;
  std::filesystem::path real = std::filesystem::canonical(dir, ec);
  return LoadPackage(ec ? dir : real.string(), package, why);
}

void LogPackage(const Package& p) {
  uint64_t bytes = 0;
  for (const PackageModule& m : p.modules) bytes += m.size;
  ServiceLogF("package %s \"%s\" version %d.%d: %zu modules, %llu bytes%s, from %s",
              p.number.c_str(), p.product_name.c_str(), p.version_part3, p.version_part4,
              p.modules.size(), static_cast<unsigned long long>(bytes),
              p.base_archive_path.empty() ? "" : ", with a base archive", p.dir.c_str());
}

}  // namespace

std::string DemoPackageDir() { return QB_DEMO_PACKAGE_DIR; }

int Service::Start(const ServiceOptions& options, std::string* error) {
  dirs_ = options.packages;
  default_dir_ = dirs_.empty();
  if (default_dir_) dirs_.push_back(DemoPackageDir());
  auto packages = std::make_shared<PackageSet>();
  for (const std::string& dir : dirs_) {
    Package package;
    std::string why;
    if (!LoadFolder(dir, &package, &why) || !packages->Add(std::move(package), &why)) {
      *error = "package " + dir + ": " + why;
      if (default_dir_ && dir.find("/demo/package") != std::string::npos) {
        *error += " (the demo package needs both builds: the native build makes its data, the "
                  "windows build its \"quillbank ix.exe\")";
      }
      return kExitBadPackage;
    }
  }
  for (const Package& p : packages->packages()) LogPackage(p);
  cache_budget_->limit = options.cache_mib << 20;
  SetCache(packages.get());
  state_.packages = std::move(packages);
  state_.faults = options.faults;
  if (options.faults) ServiceLogF("faults: %s", options.faults->Describe().c_str());

  ServerLimits limits;
  limits.idle_timeout_ms = options.idle_timeout_s * 1000;
  limits.max_connections = options.max_connections;
  server_ = std::make_unique<Server>(limits, [this](const ConnectionInfo& info)
                                                 -> std::unique_ptr<ConnectionHandler> {
    switch (info.kind) {
      case EndpointKind::kQuery:
        return std::make_unique<QueryHandler>(state_, info);
      case EndpointKind::kMetrics:
        return std::make_unique<MetricsHandler>(
            [this] { return MetricsText(state_.metrics, *state_.packages, *server_); }, info);
      default:
        return std::make_unique<SessionHandler>(state_, info);
    }
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
  if (options.metrics_given &&
      !server_->Listen(EndpointKind::kMetrics, options.metrics, error)) {
    return kExitFailure;
  }

  reload_fd_.reset(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (!reload_fd_.valid()) {
    *error = std::string("eventfd: ") + strerror(errno);
    return kExitFailure;
  }
  server_->Watch(reload_fd_.get(), [this] {
    uint64_t count = 0;
    if (read(reload_fd_.get(), &count, sizeof(count)) == sizeof(count)) Reload();
  });

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

bool Service::HandleSignals(std::string* error) {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGHUP);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  signal_fd_.reset(signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC));
  if (!signal_fd_.valid()) {
    *error = std::string("signalfd: ") + strerror(errno);
    return false;
  }
  server_->Watch(signal_fd_.get(), [this] { OnSignal(); });
  return true;
}

void Service::OnSignal() {
  signalfd_siginfo info{};
  while (read(signal_fd_.get(), &info, sizeof(info)) == sizeof(info)) {
    if (info.ssi_signo == SIGHUP) {
      ServiceLog("SIGHUP received: reloading the packages");
      Reload();
    } else {
      ServiceLogF("%s received: stopping", info.ssi_signo == SIGINT ? "SIGINT" : "SIGTERM");
      Stop();
    }
  }
}

void Service::RequestReload() {
  uint64_t one = 1;
  ssize_t ignored = write(reload_fd_.get(), &one, sizeof(one));
  (void)ignored;
}

void Service::Reload() {
  ++state_.metrics.reloads;
  const std::vector<Package>& before = state_.packages->packages();
  auto packages = std::make_shared<PackageSet>();
  size_t failed = 0;
  for (size_t i = 0; i < dirs_.size(); ++i) {
    Package package;
    std::string why;
    if (!LoadFolder(dirs_[i], &package, &why)) {
      ++failed;
      ServiceLogF("reload: package %s failed to load: %s; still serving version %d.%d loaded "
                  "before",
                  dirs_[i].c_str(), why.c_str(), before[i].version_part3,
                  before[i].version_part4);
      package = before[i];
    }
    if (!packages->Add(std::move(package), &why)) {
      ++state_.metrics.reload_failures;
      ServiceLogF("reload failed: %s; still serving every package loaded before", why.c_str());
      return;
    }
  }
  if (failed > 0) ++state_.metrics.reload_failures;
  for (const Package& p : packages->packages()) LogPackage(p);
  SetCache(packages.get());
  // Connections open now keep the set they hold; the old one goes with the last of them.
  state_.packages = std::move(packages);
  ServiceLogF("reload done: %zu package(s) served to new connections, %zu kept from before",
              dirs_.size(), failed);
}

void Service::SetCache(PackageSet* packages) const {
  if (cache_budget_->limit > 0) packages->set_cache(std::make_shared<MessageCache>(cache_budget_));
}

void Service::Run() {
  if (server_) server_->Run();
}

void Service::Stop() {
  if (server_) server_->Stop();
}
