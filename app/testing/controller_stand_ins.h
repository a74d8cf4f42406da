// The install controller without a window, for its tests: a view that records what it was told,
// timers fired by hand on a clock the test sets, stand-ins for the system's install steps, and a
// message queue the test's thread pumps as the window's thread would.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/install_controller.h"
#include "app/install_steps.h"
#include "app/install_timers.h"
#include "core/window_messages.h"
#include "ui/install_view.h"

class RecordingView : public InstallView {
 public:
  void SetState(WindowState state) override;
  void SetFilesDone(int32_t done) override { files_done = done; }
  void SetFilesTotal(int32_t total) override { files_total = total; }
  void StepProgress(int32_t files) override;
  void ShowFailure(const char* gbk_text) override;
  void ShowInstallFinishing() override { finishing = true; }
  void ShowReconnecting(bool on) override { reconnecting = on; }
  void RepaintNow() override {}
  void CloseSoon() override { ++closes_asked; }

  WindowState state = WindowState::Ready;
  int closes_asked = 0;
  int32_t files_done = 0;
  int32_t files_total = 0;
  std::string status;  // GBK, as shown in Failed
  bool finishing = false;
  bool reconnecting = false;
};

// Timers that fire only when the test says so, on a clock the test moves.
class ManualTimers : public InstallTimers {
 public:
  bool Start(uint32_t id, uint32_t ms) override;
  void Stop(uint32_t id) override;
  uint32_t NowMs() override { return now_ms; }
  void Pause(uint32_t ms) override { paused_ms += ms; }

  bool Running(uint32_t id) const { return running.count(id) != 0; }

  // Timer id -> period while it runs.
  std::map<uint32_t, uint32_t> running;
  std::atomic<uint32_t> now_ms{1000};
  uint32_t paused_ms = 0;
  // A Start that fails (no timer could be made) when set.
  bool refuse_start = false;
};

class StubSteps : public InstallSteps {
 public:
  void StopRunningTerminal() override { ++terminals_stopped; }
  void StartTerminal(const InstallContext&) override { ++terminals_started; }
  bool CreateShortcut(const InstallContext&) override {
    ++shortcuts;
    return true;
  }
  bool RegisterUninstall(const InstallContext&, const VersionPair& version) override {
    registered_version = version;
    ++registrations;
    return true;
  }

  int terminals_stopped = 0;
  int terminals_started = 0;
  int shortcuts = 0;
  int registrations = 0;
  VersionPair registered_version;
};

// The window's message queue: posts wait for the pump; a send from another thread waits until
// the pump handled it, a send from the pump's own thread is handled at once (as SendMessage to a
// window of the calling thread is).
class MessagePump : public ClientSink {
 public:
  MessagePump() : owner_(std::this_thread::get_id()) {}
  // Messages reach `controller` from now on (again after a Detach).
  void Attach(InstallController* controller);
  // The window is gone: nothing reaches the controller any more, and a send waiting for the pump
  // returns (as SendMessage to a destroyed window does).
  void Detach();

  void Post(unsigned message, intptr_t l_param) override;
  void Send(unsigned message, intptr_t l_param) override;

  // Handles queued messages until `done` holds or `timeout_ms` passed; true when it holds.
  // Callers only wait for what must come, so the time is generous for a busy machine.
  bool Until(const std::function<bool()>& done, int timeout_ms = 30000);
  // How many messages of that number reached the controller.
  int Count(unsigned message) const;
  std::vector<unsigned> handled;

 private:
  struct Entry {
    unsigned message;
    intptr_t l_param;
    bool* done;  // a send waits for it
  };
  void Deliver(unsigned message, intptr_t l_param);

  const std::thread::id owner_;
  InstallController* controller_ = nullptr;
  mutable std::mutex lock_;
  std::condition_variable changed_;
  std::deque<Entry> queue_;
  bool detached_ = false;
};

// A controller on the stand-ins, ended as the window ends it: destroyed, then nothing reaches it.
// The stand-ins outlive it (its clients' threads post to the pump until it has ended them).
class StandInRun {
 public:
  ~StandInRun() { End(); }
  // A controller of `config` and `steps` (which outlives it), created as the window creates it.
  InstallController& Start(const ControllerConfig& config, InstallSteps* steps);
  void End();
  InstallController* controller() const { return controller_.get(); }

  RecordingView view;
  ManualTimers timers;
  MessagePump pump;

 private:
  std::unique_ptr<InstallController> controller_;
};

// The folders of an install below a test folder, as SetUpPaths would derive them.
InstallContext ContextBelow(const std::string& folder);
// Update servers of `pattern` (one "%d" at most) and `port`.
UpdateServers UpdateServersAt(const char* pattern, uint16_t port);
// A port on which nothing listens on 127.0.0.x.
uint16_t FreeLoopbackPort();
