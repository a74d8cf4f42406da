// The install controller: drives one installation from the click on "Install" to "Open". It owns
// the two update clients and what they learn, reacts to the window's clicks and to the clients'
// messages, and runs the install steps on its own thread (the window's). It knows the window,
// its timers and the system's install steps only through interfaces, so it runs the same inside
// the installer window and in its tests.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/exit_codes.h"
#include "app/install_phase.h"
#include "app/install_steps.h"
#include "app/install_timers.h"
#include "clients/process_check.h"
#include "clients/process_dl.h"
#include "core/deployment.h"
#include "core/install_context.h"
#include "core/window_messages.h"
#include "install/chunk_seeds.h"
#include "install/folder_swap.h"
#include "install/overwrite_prompt.h"
#include "install/module_reuse.h"
#include "install/package_check.h"
#include "install/staged_hashes.h"
#include "install/staged_package.h"
#include "ui/install_view.h"

// Everything a run of the controller is made with, fixed from its start.
struct ControllerConfig {
  InstallContext context;
  // The host pattern and port the check client connects to.
  UpdateServers update_servers = {};
  // Public keys (64 bytes X || Y each) packages may be signed with; none: packages are installed
  // unchecked.
  std::vector<const uint8_t*> package_keys;
  // Installing ends at the latest this long after the last byte arrived on the connection the
  // sequence waits on.
  uint32_t stall_timeout_ms = 30000;
  // The pause before reconnection n (1-based) is reconnect_pause_ms << (n - 1): 1, 2 and 4 s.
  uint32_t reconnect_pause_ms = 1000;
  // What closing the window waits for the connections to wind down.
  uint32_t close_wait_ms = 500;
  // The replace's system steps (the program's wait with the window painting).
  SwapSteps swap_steps;
  // Nobody at the screen (/silent, /verysilent): the install starts at once, nobody is asked
  // anything, the window closes itself at the end and the terminal is not started.
  bool unattended = false;
};

class InstallController {
 public:
  static constexpr uint32_t kStallTimerId = 0x5174;
  // A lost (or silent) download connection is replaced this many times per install. The base
  // archive stage and the module download share the count, and progress does not reset it.
  static constexpr int kMaxReconnects = 3;
  static constexpr uint32_t kReconnectTimerId = 0x5175;
  // Unattended: fires once, right after the window is made, and starts the install.
  static constexpr uint32_t kStartTimerId = 0x5176;

  // `steps` outlives the controller.
  InstallController(ControllerConfig config, InstallSteps* steps);
  ~InstallController();
  InstallController(const InstallController&) = delete;
  InstallController& operator=(const InstallController&) = delete;

  // The window exists (not shown yet): what the controller shows, times and hears from now on;
  // the three outlive it. A replace cut short at the last run is settled here, the staging
  // folder cleared and the install log opened. Unattended, the start timer is set.
  void OnCreate(InstallView* view, InstallTimers* timers, ClientSink* sink);
  // The button was pressed in the Ready state: the update check starts.
  void OnButtonClick();
  // "Open" was pressed: the installed terminal starts.
  void OnOpen();
  // A client message (UM_*): through the phase table (install_phase.h). False for any other
  // number; a client message that means nothing in the current phase is ignored with a
  // debug-output line.
  bool OnMessage(unsigned message, intptr_t l_param);
  void OnTimer(uint32_t timer_id);
  // The window is closing: an install under way ends as with a lost connection.
  void OnClose();
  bool CloseBoxWhileInstalling() const;
  // The window is gone: the connections and the log are closed.
  void OnDestroy();

  // The steps behind the clients' messages.
  // The update check is over: from now on the controller owns `offer`; the running terminal is
  // stopped and the download client connects to the server the offer names.
  void StartDownload(UpdateOffer offer);
  // The base archive stage is over (UM_BASE_DONE): with 0 the modules are requested.
  void OnBaseDone(int32_t error_code);
  void OnInstall();
  // Enters Failed with `gbk_text` (entry 6 when null), `code` the program's exit code: both
  // connections stopped, the log closed and kept as "<InstallDir>.failed.log", the staging
  // folder deleted. Nothing changes once the phase is final.
  void OnInstallFail(ExitCode code, const char* gbk_text = nullptr);

  // What the program exits with when the window is gone: success once installed, the failure's
  // code once failed, cancelled in any other phase (the window was closed first).
  ExitCode exit_code() const;
  // Where this run's install log is now: in the install after success, the failed attempt's log
  // after a failure, in the staging folder before either.
  std::string LogPath() const;

  const InstallContext& context() const { return config_.context; }
  const UpdateOffer& offer() const { return offer_; }
  ProcessCheck* check_client() const { return check_.get(); }
  ProcessDL* download_client() const { return download_.get(); }
  int32_t check_disconnects() const { return check_disconnects_; }
  int32_t reconnects() const { return reconnects_; }
  InstallPhase phase() const { return phase_; }

 private:
  // Message-table entry `entry` in the run's language (GBK).
  const char* FailureText(int entry) const;
  // The failure text for a lost or silent connection: entry 6, a comma and entry 1.
  std::string ConnectionFailureText() const;
  // Closes the current connection of both clients, if any.
  void CloseConnections();
  // Watches the bytes of the connection the current phase waits on, from now.
  void ArmWatchdog();
  void DisarmWatchdog();
  uint64_t WatchedBytes() const;
  void OnStallTick();
  void OnCheckDrop(bool before_list);
  // Connects the download client to the server the offer names.
  void ConnectDownload();
  // The download connection is gone (or was closed for silence): Reconnecting until the pause
  // timer fires, or Failed once every reconnection is used.
  void OnDownloadLost();
  // The pause is over: a new download connection; the client asks again for what is missing
  // once it is linked.
  void Reconnect();
  // The staged package against its signed manifest; logs the first file that failed.
  // `*downgrade`: it failed as older than the install or the floor.
  bool StagedPackagePasses(bool* downgrade);
  // What the package check compares with: keys, the announced version, the install, the floor.
  PackageCheckInput CheckInput() const;
  // The exit code of a failure reported by `message` (a Fail reaction).
  ExitCode FailureCode(unsigned message, intptr_t l_param) const;
  // Unattended: the window goes once the phase is final.
  void CloseIfUnattended();
  // Asks for the manifest alone, or for the modules, as the manifest stage stands.
  void RequestDownload();
  // The manifest asked for alone is in: checked at once; then the reuse of an earlier install,
  // or the rest of the modules.
  void OnManifestIn();
  // The reuse thread is done: its modules count as finished, the rest is asked for.
  void OnReuseDone();
  // Ends a reuse thread still running (the install failed or the window closes).
  void StopReuse();
  // The install steps once the staged package passed: records, replace, shortcut, entry.
  // `*copied`: placed by the copy fallback, so the staging folder is left to delete.
  bool PlaceInstall(bool* copied);
  bool checked() const { return !config_.package_keys.empty(); }
  // What the table reads beside the phase.
  InstallFacts Facts() const;

  const ControllerConfig config_;
  InstallSteps* const steps_;
  InstallView* view_ = nullptr;
  InstallTimers* timers_ = nullptr;
  ClientSink* sink_ = nullptr;

  UpdateOffer offer_;  // the controller's once the check is over
  std::unique_ptr<StagedHashes> hashes_;  // only when packages are checked
  std::unique_ptr<StagedPackage> staged_;
  ManifestStage manifest_stage_ = ManifestStage::None;
  std::thread reuse_thread_;
  std::atomic<bool> reuse_cancel_{false};
  ReuseResult reuse_result_;  // written by the reuse thread, read after it is joined
  SeedResult seed_result_;    // likewise: changed files built from the install's chunks
  uint32_t reuse_ms_ = 0;     // likewise
  std::unique_ptr<ProcessCheck> check_;
  std::unique_ptr<ProcessDL> download_;  // made with the offer
  InstallPhase phase_ = InstallPhase::Ready;
  ExitCode failure_code_ = kExitFailed;
  // No update server took the connection at the click: the failure that follows is "no server".
  bool no_server_ = false;
  // Unattended, an extracted file that cannot be written fails the install: nobody is asked.
  class AbortPrompt : public OverwritePrompt {
   public:
    int Ask(const char*, const char*) override { return kPromptAbort; }
  };
  AbortPrompt abort_prompt_;
  int32_t check_disconnects_ = 0;
  // Connect attempts that failed during the click; each reports one UM_CHECK_DISCONNECT, which
  // counts toward the three attempts instead of failing the install at once.
  int32_t refused_connects_ = 0;
  int32_t reconnects_ = 0;
  bool closing_ = false;  // the window is closing: a lost download connection is not replaced
  bool watchdog_armed_ = false;
  uint64_t watched_bytes_ = 0;
  uint32_t last_progress_ms_ = 0;
  // Deletes what the install replaced after "Open" is shown; joined before the program ends.
  std::thread cleanup_;
};
