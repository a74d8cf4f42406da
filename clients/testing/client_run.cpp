// Driving ProcessCheck and ProcessDL as the install controller does.
#include "clients/testing/client_run.h"

#include <chrono>
#include <memory>

#include "base/resources.h"
#include "clients/process_check.h"
#include "clients/process_dl.h"
#include "core/install_context.h"
#include "install/staged_package.h"

namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

struct ClientRun::Clients {
  Clients(ClientSink* sink, const std::string& staging_dir, const std::string& depend_dir)
      : staging(staging_dir), depend(depend_dir), check(sink, LoadPackageNumberString(), {}),
        staged(std::make_unique<StagedPackage>(staging, depend, nullptr)) {}
  const std::string staging;
  const std::string depend;
  ProcessCheck check;
  UpdateOffer offer;
  std::unique_ptr<StagedPackage> staged;
  std::unique_ptr<ProcessDL> dl;
};

ClientRun::ClientRun(const std::string& staging_dir, const std::string& depend_dir)
    : clients_(new Clients(this, staging_dir, depend_dir)) {}

void ClientRun::CheckPackages(StagedHashes* hashes) {
  clients_->staged = std::make_unique<StagedPackage>(clients_->staging, clients_->depend, hashes);
}

std::string ClientRun::KeptBaseArchive() const { return clients_->staged->KeptBaseArchive(); }

const UpdateOffer& ClientRun::offer() const { return clients_->offer; }

ClientRun::~ClientRun() {
  // The clients end their connections' threads before the queue they post to goes away.
  delete clients_;
}

void ClientRun::Post(unsigned message, intptr_t l_param) {
  std::lock_guard<std::mutex> lock(mutex_);
  queue_.push_back({message, l_param, false});
  all_.push_back({message, l_param, false});
  cv_.notify_all();
}

void ClientRun::Send(unsigned message, intptr_t l_param) {
  std::lock_guard<std::mutex> lock(mutex_);
  queue_.push_back({message, l_param, true});
  all_.push_back({message, l_param, true});
  cv_.notify_all();
}

bool ClientRun::Next(WindowMessage* out, int timeout_ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                    [this] { return !queue_.empty(); })) {
    return false;
  }
  *out = queue_.front();
  queue_.pop_front();
  return true;
}

bool ClientRun::Check(const ListenAddress& update, int timeout_ms) {
  ProcessCheck& check = clients_->check;
  AccountRecord account = InstallerAccountRecord();
  if (!check.Connect(update.host.c_str(), update.port, &account)) return false;
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (true) {
    int left = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
    WindowMessage m;
    if (left <= 0 || !Next(&m, left)) return false;
    if (m.message == UM_MODULE_CHECK_DONE) {
      clients_->offer = check.TakeOffer();
      return true;
    }
    if (m.message == UM_UPDATE_REFUSED || m.message == UM_LOGIN_FAIL ||
        m.message == UM_CHECK_AUTH_FAIL || m.message == UM_CHECK_DISCONNECT) {
      return false;
    }
  }
}

bool ClientRun::Download(int timeout_ms, const ListenAddress* download, int reconnects) {
  if (clients_->dl == nullptr) {
    ClientSink* sink = this;
    clients_->dl = std::make_unique<ProcessDL>(sink, clients_->staging, &clients_->offer.Modules,
                                               clients_->staged.get());
  }
  ProcessDL& dl = *clients_->dl;
  const UpdateOffer& offer = clients_->offer;
  requests_.clear();
  auto connect = [&] {
    AccountRecord account = InstallerAccountRecord();
    if (download) return dl.Connect(download->host.c_str(), download->port, &account);
    return dl.Connect(offer.DownloadHost.c_str(), static_cast<uint16_t>(offer.DownloadPort),
                      &account);
  };
  // A connect that fails reports UM_DL_DISCONNECT as well, which the loop below counts.
  if (!connect() && reconnects == 0) return false;
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  Clock::time_point requested{};
  while (true) {
    int left = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
    WindowMessage m;
    if (left <= 0 || !Next(&m, left)) return false;
    if (m.message == UM_BASE_DONE) {
      if (m.l_param != 0) return false;
      if (requests_.empty()) requested = Clock::now();
      dl.DownloadModule();  // on the "controller's thread", as the controller does
      requests_.push_back(dl.LastRequestNames());
    } else if (m.message == UM_DOWNLOAD_DONE) {
      module_seconds_ = std::chrono::duration<double>(Clock::now() - requested).count();
      return true;
    } else if (m.message == UM_DL_DISCONNECT && !dl.DownloadComplete() && reconnects > 0) {
      --reconnects;
      connect();
    } else if (m.message == UM_DL_DISCONNECT || m.message == UM_LOGIN_FAIL ||
               m.message == UM_WRITE_FAIL) {
      return false;
    }
  }
}

std::vector<WindowMessage> ClientRun::messages() {
  std::lock_guard<std::mutex> lock(mutex_);
  return all_;
}

int ClientRun::Count(unsigned message) {
  std::lock_guard<std::mutex> lock(mutex_);
  int n = 0;
  for (const WindowMessage& m : all_) n += m.message == message;
  return n;
}

intptr_t ClientRun::LastParam(unsigned message) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = all_.rbegin(); it != all_.rend(); ++it) {
    if (it->message == message) return it->l_param;
  }
  return -1;
}

bool ClientRun::WaitFor(unsigned message, int timeout_ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
    for (const WindowMessage& m : all_) {
      if (m.message == message) return true;
    }
    return false;
  });
}
