// The install controller: drives one installation from the click on "Install" to "Open". It owns
// the two update clients, reacts to the installer window's clicks and to the clients' messages,
// and runs the install steps on the window thread.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/install_phase.h"
#include "clients/process_check.h"
#include "clients/process_dl.h"
#include "core/deployment.h"
#include "install/folder_swap.h"
#include "install/module_reuse.h"
#include "install/package_check.h"
#include "install/staged_hashes.h"
#include "ui/dlg_controller.h"

class InstallController : public TDlgController {
 public:
  // Installing ends at the latest this long after the last byte arrived on the connection the
  // sequence waits on.
  static constexpr DWORD kStallTimeoutMs = 30000;
  static constexpr UINT_PTR kStallTimerId = 0x5174;
  // A lost (or silent) download connection is replaced this many times per install; the pause
  // before reconnection n (1-based) is kReconnectPauseMs << (n - 1): 1, 2 and 4 s. The base
  // archive stage and the module download share the count, and progress does not reset it.
  static constexpr int kMaxReconnects = 3;
  static constexpr UINT kReconnectPauseMs = 1000;
  static constexpr UINT_PTR kReconnectTimerId = 0x5175;

  // `update_servers`: the host pattern and port the check client connects to. `package_key`: a
  // public key (64 bytes X || Y) packages may be signed with, or null to install packages
  // unchecked (unless AddPackageKey gives one).
  explicit InstallController(const UpdateServers& update_servers,
                             const uint8_t* package_key = nullptr);
  // One more key a package may be signed with (a publisher changing keys). Before the window.
  void AddPackageKey(const uint8_t* key) {
    if (key != nullptr) package_keys_.push_back(key);
  }
  ~InstallController() override;

  void OnCreate(TQuillbankDlg& dlg) override;
  // Called with the window's handle once it exists (the program marks it for a second start).
  // The replace's system steps (by default the real ones, waiting with the window painting).
  void SetSwapSteps(const SwapSteps& steps) { swap_steps_ = steps; }
  void SetWindowCreatedHook(std::function<void(HWND)> hook) { window_created_ = std::move(hook); }
  void OnButtonClick(TQuillbankDlg& dlg) override;
  void OnOpen(TQuillbankDlg& dlg) override;
  // Every client message goes through the phase table (install_phase.h); a message that means
  // nothing in the current phase is ignored with a debug-output line.
  bool OnMessage(TQuillbankDlg& dlg, UINT message, WPARAM w_param, LPARAM l_param) override;
  void OnTimer(TQuillbankDlg& dlg, UINT_PTR timer_id) override;
  void OnClose(TQuillbankDlg& dlg) override;
  bool CloseBoxWhileInstalling() const override;
  void OnDestroy(TQuillbankDlg& dlg) override;

  // The steps behind the clients' messages.
  void OnModuleDL();
  // The base archive stage is over (UM_BASE_DONE): with 0 the modules are requested.
  void OnBaseDone(TQuillbankDlg& dlg, int32_t error_code);
  void OnInstall(TQuillbankDlg& dlg);
  // Enters Failed with `gbk_text` (entry 6 when null): both connections stopped, the log closed
  // and kept as "<InstallDir>.failed.log", the staging folder deleted. Nothing changes once the
  // phase is final.
  void OnInstallFail(TQuillbankDlg& dlg, const char* gbk_text = nullptr);

  ProcessCheck* check_client() const { return check_.get(); }
  ProcessDL* download_client() const { return download_.get(); }
  int32_t check_disconnects() const { return check_disconnects_; }
  int32_t reconnects() const { return reconnects_; }
  InstallPhase phase() const { return phase_; }
  // Puts the controller in `phase` without running anything: for tests of one step.
  void SetPhaseForTest(InstallPhase phase) { phase_ = phase; }
  // A shorter stall time-out; only unit tests call it.
  static void SetStallTimeoutForTest(DWORD ms);
  // A shorter first reconnection pause (the others double it); only unit tests call it.
  static void SetReconnectPauseForTest(UINT ms);

 private:
  // Closes the current connection of both clients, if any.
  void CloseConnections();
  // Watches the bytes of the connection the current phase waits on, from now.
  void ArmWatchdog(TQuillbankDlg& dlg);
  void DisarmWatchdog(TQuillbankDlg& dlg);
  uint64_t WatchedBytes() const;
  void OnCheckDrop(TQuillbankDlg& dlg, bool before_list);
  // Connects the download client to the server the update check named.
  void ConnectDownload();
  // The download connection is gone (or was closed for silence): Reconnecting until the pause
  // timer fires, or Failed once every reconnection is used.
  void OnDownloadLost(TQuillbankDlg& dlg);
  // The pause is over: a new download connection; the client asks again for what is missing
  // once it is linked.
  void Reconnect(TQuillbankDlg& dlg);
  // The staged package against its signed manifest; logs the first file that failed.
  bool StagedPackagePasses();
  // What the package check compares with: keys, the announced version, the install, the floor.
  PackageCheckInput CheckInput() const;
  // Asks for the manifest alone, or for the modules, as the manifest stage stands.
  void RequestDownload();
  // The manifest asked for alone is in: checked at once; then the reuse of an earlier install,
  // or the rest of the modules.
  void OnManifestIn(TQuillbankDlg& dlg);
  // The reuse thread is done: its modules count as finished, the rest is asked for.
  void OnReuseDone(TQuillbankDlg& dlg);
  // Ends a reuse thread still running (the install failed or the window closes).
  void StopReuse();

  UpdateServers update_servers_;
  std::vector<const uint8_t*> package_keys_;  // empty: packages are installed unchecked
  std::unique_ptr<StagedHashes> hashes_;  // only when packages are checked
  // A program with keys checks the manifest before anything else is downloaded, and then takes
  // what an earlier install holds unchanged.
  enum class ManifestStage { None, Waiting, Reusing, Done };
  ManifestStage manifest_stage_ = ManifestStage::None;
  std::thread reuse_thread_;
  std::atomic<bool> reuse_cancel_{false};
  ReuseResult reuse_result_;  // written by the reuse thread, read after it is joined
  DWORD reuse_ms_ = 0;        // likewise
  std::unique_ptr<ProcessCheck> check_;
  std::unique_ptr<ProcessDL> download_;
  InstallPhase phase_ = InstallPhase::Ready;
  int32_t check_disconnects_ = 0;
  // Connect attempts that failed during the click; each reports one UM_CHECK_DISCONNECT, which
  // counts toward the three attempts instead of failing the install at once.
  int32_t refused_connects_ = 0;
  int32_t reconnects_ = 0;
  bool closing_ = false;  // the window is closing: a lost download connection is not replaced
  bool watchdog_armed_ = false;
  uint64_t watched_bytes_ = 0;
  DWORD last_progress_ms_ = 0;
  // Deletes what the install replaced after "Open" is shown; joined before the program ends.
  std::thread cleanup_;
  std::function<void(HWND)> window_created_;
  SwapSteps swap_steps_;
};

// The failure text for a lost or silent connection, in the user's language (GBK): entry 6, a
// comma and entry 1 ("Install Fail,Server Link Fail").
std::string ConnectionFailureText();
