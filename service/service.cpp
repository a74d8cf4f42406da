// Setting up a service from its options, and reloading its packages.
#include "service/service.h"

#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/timerfd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <thread>

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

// Adds every version of each releases folder in `adding` to `packages`, kept, and announces the
// one its "current" names. The bytes of a version already in `checked` (the same folders, as
// served until now) were compared when it came and are not compared again. False with `*why`
// when a version does not fit beside the rest.
bool AddReleases(const std::vector<Releases>& adding, const std::vector<Releases>* checked,
                 PackageSet* packages, std::string* why) {
  for (size_t r = 0; r < adding.size(); ++r) {
    for (const Package& version : adding[r].versions) {
      bool compared = false;
      if (checked != nullptr) {
        for (const Package& p : (*checked)[r].versions) {
          compared = compared || (p.version_part3 == version.version_part3 &&
                                  p.version_part4 == version.version_part4 && p.dir == version.dir);
        }
      }
      if (!packages->Add(version, why, /*announced=*/false, /*compare_bytes=*/!compared)) {
        return false;
      }
    }
    const Package& current = adding[r].versions[adding[r].announced];
    if (!packages->Announce(current.number, current.version_part3, current.version_part4)) {
      *why = "package " + current.number + " is announced twice";
      return false;
    }
  }
  return true;
}

}  // namespace

std::string DemoPackageDir() { return QB_DEMO_PACKAGE_DIR; }

Service::~Service() {
  // Stopped loops only: the accepting loop's handlers and the pool's threads read state_.
  if (workers_) workers_->Stop();
}

std::unique_ptr<ConnectionHandler> Service::MakeHandler(const ConnectionInfo& info,
                                                        ServiceMetrics* metrics) {
  switch (info.kind) {
    case EndpointKind::kQuery:
      return std::make_unique<QueryHandler>(state_, *metrics, info);
    case EndpointKind::kMetrics:
      return std::make_unique<MetricsHandler>([this] { return MetricsPage(); },
                                              [this] { return !stopping(); }, info);
    default:
      return std::make_unique<SessionHandler>(state_, *metrics, info);
  }
}

MetricsCounts Service::Counts() const {
  MetricsCounts sum = acceptor_metrics_.Counts();
  for (const auto& m : worker_metrics_) sum += m->Counts();
  return sum;
}

size_t Service::connection_count() const {
  return (acceptor_ ? acceptor_->connection_count() : 0) +
         (workers_ ? workers_->connection_count() : 0);
}

std::string Service::MetricsPage() const {
  EndpointCounters endpoints[kEndpointKinds];
  for (size_t k = 0; k < kEndpointKinds; ++k) {
    const EndpointKind kind = static_cast<EndpointKind>(k);
    endpoints[k] = acceptor_->counters(kind);
    for (size_t i = 0; i < workers_->size(); ++i) {
      endpoints[k] += workers_->worker(i).counters(kind);
    }
  }
  return MetricsText(Counts(), *state_.packages.Get(), endpoints);
}

int Service::Start(const ServiceOptions& options, std::string* error) {
  dirs_ = options.packages;
  release_dirs_ = options.releases;
  default_dir_ = dirs_.empty() && release_dirs_.empty();
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
  for (const std::string& dir : release_dirs_) {
    Releases releases;
    std::vector<std::string> notes;
    size_t problems = 0;
    std::string why;
    const bool loaded = LoadReleases(dir, nullptr, &releases, &notes, &problems, &why);
    for (const std::string& note : notes) ServiceLogF("releases %s: %s", dir.c_str(), note.c_str());
    if (!loaded) {
      *error = "releases " + dir + ": " + why;
      return kExitBadPackage;
    }
    releases_.push_back(std::move(releases));
  }
  {
    std::string why;
    if (!AddReleases(releases_, nullptr, packages.get(), &why)) {
      *error = why;
      return kExitBadPackage;
    }
  }
  for (size_t i = 0; i < packages->packages().size(); ++i) {
    LogPackage(packages->packages()[i]);
    if (!packages->announced(i)) ServiceLog("  (kept, not announced)");
  }
  cache_budget_->limit = options.cache_mib << 20;
  SetCache(packages.get());
  state_.packages.Publish(std::move(packages));
  state_.faults = options.faults;
  state_.ranges = options.ranges;
  if (options.faults) ServiceLogF("faults: %s", options.faults->Describe().c_str());

  ServerLimits limits;
  limits.idle_timeout_ms = options.idle_timeout_s * 1000;
  limits.max_connections = options.max_connections;
  const size_t workers =
      options.workers > 0 ? options.workers
                          : std::max<size_t>(1, std::thread::hardware_concurrency());
  for (size_t i = 0; i < workers; ++i) {
    worker_metrics_.push_back(std::make_unique<ServiceMetrics>());
  }
  workers_ = std::make_unique<WorkerPool>(workers, limits, [this](size_t i) -> HandlerFactory {
    ServiceMetrics* metrics = worker_metrics_[i].get();
    return [this, metrics](const ConnectionInfo& info) { return MakeHandler(info, metrics); };
  });
  // The accepting loop serves only the metrics endpoint's connections, in their own budget.
  ServerLimits metrics_limits = limits;
  metrics_limits.max_connections = options.metrics_connections;
  metrics_limits.idle_timeout_ms = options.metrics_idle_timeout_s * 1000;
  metrics_limits.replace_idle = true;
  acceptor_ = std::make_unique<Server>(metrics_limits, [this](const ConnectionInfo& info) {
    return MakeHandler(info, &acceptor_metrics_);
  });
  // The metrics endpoint is served where it is accepted; everything else by a worker.
  acceptor_->SetHandOff([this](AcceptedSocket& socket) {
    return socket.kind == EndpointKind::kMetrics ? HandOffResult::kServeHere
                                                 : workers_->HandOff(socket);
  });
  for (const ListenAddress& a : options.query) {
    if (!acceptor_->Listen(EndpointKind::kQuery, a, error)) return kExitFailure;
  }
  for (const ListenAddress& a : options.update) {
    if (!acceptor_->Listen(EndpointKind::kUpdate, a, error)) return kExitFailure;
  }
  if (!acceptor_->Listen(EndpointKind::kDownload, options.download, error)) return kExitFailure;
  query_count_ = options.query.size();
  update_count_ = options.update.size();
  if (options.metrics_given &&
      !acceptor_->Listen(EndpointKind::kMetrics, options.metrics, error)) {
    return kExitFailure;
  }

  reload_fd_.reset(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  stop_fd_.reset(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  drain_fd_.reset(timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
  if (!reload_fd_.valid() || !stop_fd_.valid() || !drain_fd_.valid()) {
    *error = std::string("eventfd or timerfd: ") + strerror(errno);
    return kExitFailure;
  }
  acceptor_->Watch(reload_fd_.get(), [this] {
    uint64_t count = 0;
    if (read(reload_fd_.get(), &count, sizeof(count)) == sizeof(count)) Reload();
  });
  acceptor_->Watch(stop_fd_.get(), [this] {
    uint64_t count = 0;
    if (read(stop_fd_.get(), &count, sizeof(count)) != sizeof(count)) return;
    // Two requests read at once: the second stops at once, as it would have later.
    for (uint64_t i = 0; i < std::min<uint64_t>(count, 2); ++i) StopAsked();
  });
  acceptor_->Watch(drain_fd_.get(), [this] {
    uint64_t expirations = 0;
    if (read(drain_fd_.get(), &expirations, sizeof(expirations)) != sizeof(expirations)) return;
    ServiceLog("drain over: closing every connection");
    acceptor_->Stop();
  });
  drain_ms_ = options.drain_ms;
  ServiceLogF("%zu worker loop(s) serve the connections", workers);

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
  acceptor_->Watch(signal_fd_.get(), [this] { OnSignal(); });
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
      StopAsked();
    }
  }
}

void Service::RequestReload() {
  uint64_t one = 1;
  ssize_t ignored = write(reload_fd_.get(), &one, sizeof(one));
  (void)ignored;
}

void Service::StopAsked() {
  if (stopping_.exchange(true) || drain_ms_ == 0) {
    if (drain_ms_ > 0) ServiceLog("stop asked again: closing every connection now");
    acceptor_->Stop();
    return;
  }
  ServiceLogF("draining for %d ms: /healthz answers 503, connections are still served", drain_ms_);
  itimerspec drain{};
  drain.it_value.tv_sec = drain_ms_ / 1000;
  drain.it_value.tv_nsec = static_cast<long>(drain_ms_ % 1000) * 1000000;
  timerfd_settime(drain_fd_.get(), 0, &drain, nullptr);
}

void Service::Reload() {
  acceptor_metrics_.CountReload();
  const std::shared_ptr<const PackageSet> published = state_.packages.Get();
  const std::vector<Package>& before = published->packages();
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
      acceptor_metrics_.CountReloadFailure();
      ServiceLogF("reload failed: %s; still serving every package loaded before", why.c_str());
      return;
    }
  }
  // Each releases folder: new versions loaded, the served ones kept as they are, "current" read
  // again. A folder that cannot be read, or whose new versions do not fit beside the rest, goes
  // on serving what it served.
  std::vector<Releases> next = releases_;
  for (size_t i = 0; i < release_dirs_.size(); ++i) {
    Releases releases;
    std::vector<std::string> notes;
    size_t problems = 0;
    std::string why;
    const bool loaded =
        LoadReleases(release_dirs_[i], &releases_[i], &releases, &notes, &problems, &why);
    for (const std::string& note : notes) {
      ServiceLogF("reload: releases %s: %s", release_dirs_[i].c_str(), note.c_str());
    }
    if (!loaded) {
      ++failed;
      ServiceLogF("reload: releases %s: %s; still serving the versions loaded before",
                  release_dirs_[i].c_str(), why.c_str());
      continue;
    }
    if (problems > 0) ++failed;
    next[i] = std::move(releases);
  }
  std::string why;
  if (!AddReleases(next, &releases_, packages.get(), &why)) {
    acceptor_metrics_.CountReloadFailure();
    ServiceLogF("reload failed: %s; still serving every package loaded before", why.c_str());
    return;
  }
  releases_ = std::move(next);
  if (failed > 0) acceptor_metrics_.CountReloadFailure();
  for (size_t i = 0; i < packages->packages().size(); ++i) {
    LogPackage(packages->packages()[i]);
    if (!packages->announced(i)) ServiceLog("  (kept, not announced)");
  }
  SetCache(packages.get());
  // Every loop's new connections get the new set from now on; connections open now keep the
  // set they hold, and the old one goes with the last of them.
  state_.packages.Publish(std::move(packages));
  ServiceLogF("reload done: %zu package(s) served to new connections, %zu kept from before",
              dirs_.size() + release_dirs_.size(), failed);
}

void Service::SetCache(PackageSet* packages) const {
  if (cache_budget_->limit > 0) packages->set_cache(std::make_shared<MessageCache>(cache_budget_));
}

void Service::Run() {
  if (!acceptor_) return;
  workers_->Start();
  acceptor_->Run();
  workers_->Stop();
}

void Service::Stop() {
  uint64_t one = 1;
  ssize_t ignored = write(stop_fd_.get(), &one, sizeof(one));
  (void)ignored;
}

void Service::StopNow() {
  if (acceptor_) acceptor_->Stop();
}
