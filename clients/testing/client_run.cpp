// Driving ProcessCheck and ProcessDL as the installer window does.
#include "clients/testing/client_run.h"

#include <chrono>
#include <cstring>

#include "clients/process_check.h"
#include "clients/process_dl.h"
#include "core/install_context.h"
#include "core/window_messages.h"

namespace {

using Clock = std::chrono::steady_clock;

// Any non-null handle: the download client posts UM_FILE_DONE only when a window exists.
int dummy_window;

}  // namespace

struct ClientRun::Clients {
  ProcessCheck check;
  ProcessDL dl;
};

ClientRun::ClientRun(const std::string& staging_dir, const std::string& depend_dir)
    : clients_(nullptr) {
  InstallContext& ctx = InstallContext::Get();
  ctx.StagingDir = staging_dir;
  ctx.DependDir = depend_dir;
  ctx.InstalledVersion = VersionPair();
  ctx.LatestVersion = VersionPair();
  std::memset(ctx.DownloadHost, 0, sizeof(ctx.DownloadHost));
  ctx.DownloadPort = 0;
  ModuleList::Get().ClearForTest();
  MainWindowHandle = &dummy_window;
  SetMainWindowSink([this](unsigned message, uintptr_t, intptr_t l_param, bool sent) {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back({message, l_param, sent});
    all_.push_back({message, l_param, sent});
    cv_.notify_all();
  });
  clients_ = new Clients();
}

void ClientRun::CheckPackages(StagedHashes* hashes) { clients_->dl.CheckPackages(hashes); }

std::string ClientRun::KeptBaseArchive() const { return clients_->dl.KeptBaseArchive(); }

ClientRun::~ClientRun() {
  // The clients end their connections' threads before the sink they post to goes away.
  delete clients_;
  SetMainWindowSink(nullptr);
  MainWindowHandle = nullptr;
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
    if (m.message == UM_MODULE_CHECK_DONE) return true;
    if (m.message == UM_UPDATE_REFUSED || m.message == UM_LOGIN_FAIL ||
        m.message == UM_CHECK_AUTH_FAIL || m.message == UM_CHECK_DISCONNECT) {
      return false;
    }
  }
}

bool ClientRun::Download(int timeout_ms, const ListenAddress* download, int reconnects) {
  ProcessDL& dl = clients_->dl;
  InstallContext& ctx = InstallContext::Get();
  requests_.clear();
  auto connect = [&] {
    AccountRecord account = InstallerAccountRecord();
    if (download) return dl.Connect(download->host.c_str(), download->port, &account);
    return dl.Connect(ctx.DownloadHost, static_cast<uint16_t>(ctx.DownloadPort), &account);
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
      dl.DownloadModule();  // on the "window thread", as the controller does
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
