// The install controller: drives one installation from the click on "Install" to "Open". It owns
// the two update clients, reacts to the installer window's clicks and to the clients' messages,
// and runs the install steps on the window thread.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

#include "app/install_phase.h"
#include "clients/process_check.h"
#include "clients/process_dl.h"
#include "core/deployment.h"
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

  // `update_servers`: the host pattern and port the check client connects to. `package_key`: the
  // public key (64 bytes X || Y) every package must be signed with, or null to install packages
  // unchecked.
  explicit InstallController(const UpdateServers& update_servers,
                             const uint8_t* package_key = nullptr);
  ~InstallController() override;

  void OnCreate(TQuillbankDlg& dlg) override;
  void OnButtonClick(TQuillbankDlg& dlg) override;
  void OnOpen(TQuillbankDlg& dlg) override;
  // Every client message goes through the phase table (install_phase.h); a message that means
  // nothing in the current phase is ignored with a debug-output line.
  bool OnMessage(TQuillbankDlg& dlg, UINT message, WPARAM w_param, LPARAM l_param) override;
  void OnTimer(TQuillbankDlg& dlg, UINT_PTR timer_id) override;
  void OnClose(TQuillbankDlg& dlg) override;
  void OnDestroy(TQuillbankDlg& dlg) override;

  // The steps behind the clients' messages.
  void OnModuleDL();
  void OnDLAuthentLink(TQuillbankDlg& dlg, int32_t error_code);
  void OnInstall(TQuillbankDlg& dlg);
  // Enters Failed with `gbk_text` (entry 6 when null): both connections stopped, the log closed,
  // the staging folder deleted. Nothing changes once the phase is final.
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
  // Stops the protocol and closes the transport of a client's current connection, if any.
  static void StopConnection(ProcessClient* client);
  void StopConnections();
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
  bool PlaceStagedInstall();
  // The staged package against its signed manifest; logs the first file that failed.
  bool StagedPackagePasses();

  UpdateServers update_servers_;
  const uint8_t* package_key_ = nullptr;
  std::unique_ptr<StagedHashes> hashes_;  // only when packages are checked
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
};

// The copy command of the install step: XCOPY of StagingDir into InstallDir, hidden.
void FormatCopyCommand(char* out, size_t out_size);
// The failure text for a lost or silent connection, in the user's language (GBK): entry 6, a
// comma and entry 1 ("Install Fail,Server Link Fail").
std::string ConnectionFailureText();
