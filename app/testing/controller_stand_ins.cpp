// The controller's stand-ins.
#include "app/testing/controller_stand_ins.h"

#include <chrono>
#include <cstdio>

#include "net/socket_ops.h"

void RecordingView::SetState(WindowState new_state) {
  state = new_state;
  if (new_state != WindowState::Installing) finishing = false;
}

void RecordingView::StepProgress(int32_t files) {
  files_done += files;
  state = WindowState::Installing;
}

void RecordingView::ShowFailure(const char* gbk_text) {
  SetState(WindowState::Failed);
  status = gbk_text != nullptr ? gbk_text : "";
}

bool ManualTimers::Start(uint32_t id, uint32_t ms) {
  if (refuse_start) return false;
  running[id] = ms;
  return true;
}

void ManualTimers::Stop(uint32_t id) { running.erase(id); }

void MessagePump::Attach(InstallController* controller) {
  std::lock_guard<std::mutex> guard(lock_);
  controller_ = controller;
  detached_ = false;
}

void MessagePump::Detach() {
  std::lock_guard<std::mutex> guard(lock_);
  detached_ = true;
  for (const Entry& entry : queue_) {
    if (entry.done != nullptr) *entry.done = true;
  }
  queue_.clear();
  changed_.notify_all();
}

void MessagePump::Post(unsigned message, intptr_t l_param) {
  std::lock_guard<std::mutex> guard(lock_);
  if (detached_) return;
  queue_.push_back({message, l_param, nullptr});
  changed_.notify_all();
}

void MessagePump::Send(unsigned message, intptr_t l_param) {
  if (std::this_thread::get_id() == owner_) {
    Deliver(message, l_param);
    return;
  }
  bool done = false;
  std::unique_lock<std::mutex> guard(lock_);
  if (detached_) return;
  // Ahead of what was posted, as a sent window message overtakes posted ones.
  queue_.push_front({message, l_param, &done});
  changed_.notify_all();
  changed_.wait(guard, [&] { return done; });
}

void MessagePump::Deliver(unsigned message, intptr_t l_param) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (detached_) return;
    handled.push_back(message);
  }
  if (controller_ != nullptr) controller_->OnMessage(message, l_param);
}

bool MessagePump::Until(const std::function<bool()>& done, int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!done()) {
    Entry entry{};
    bool got = false;
    {
      std::unique_lock<std::mutex> guard(lock_);
      // What other threads do (a file written, a connection closed) may decide `done` without a
      // message: look again after a short while at the latest.
      got = changed_.wait_for(guard, std::chrono::milliseconds(10),
                              [&] { return !queue_.empty(); });
      if (got) {
        entry = queue_.front();
        queue_.pop_front();
      }
    }
    if (!got) {
      if (std::chrono::steady_clock::now() > deadline) return done();
      continue;
    }
    Deliver(entry.message, entry.l_param);
    if (entry.done != nullptr) {
      std::lock_guard<std::mutex> guard(lock_);
      *entry.done = true;
      changed_.notify_all();
    }
  }
  return true;
}

int MessagePump::Count(unsigned message) const {
  std::lock_guard<std::mutex> guard(lock_);
  int n = 0;
  for (unsigned m : handled) n += m == message;
  return n;
}

InstallContext ContextBelow(const std::string& folder) {
  InstallContext ctx;
  ctx.PackageNumber = "100201";
  ctx.LanguageId = 0x0409;
  SetUpPathsBelow(folder, &ctx);
  return ctx;
}

UpdateServers UpdateServersAt(const char* pattern, uint16_t port) {
  UpdateServers servers = {};
  std::snprintf(servers.HostPattern, sizeof servers.HostPattern, "%s", pattern);
  servers.Port = port;
  return servers;
}

uint16_t FreeLoopbackPort() {
  SocketsLibrary sockets;
  uint16_t port = 0;
  UniqueSocket listener(OpenListener("127.0.0.1", 0, 1, &port));
  return port;
}

InstallController& StandInRun::Start(const ControllerConfig& config, InstallSteps* steps) {
  End();
  controller_ = std::make_unique<InstallController>(config, steps);
  pump.Attach(controller_.get());
  controller_->OnCreate(&view, &timers, &pump);
  return *controller_;
}

void StandInRun::End() {
  if (controller_ == nullptr) return;
  controller_->OnDestroy();
  pump.Detach();
  controller_.reset();
}
