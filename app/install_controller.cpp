// The install controller's reactions. Everything here runs on the window thread; the clients
// reach it only through their window messages.
#include "app/install_controller.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <map>

#include "base/debug_output.h"
#include "base/file_system.h"
#include "base/package_manifest.h"
#include "core/install_context.h"
#include "core/install_log.h"
#include "core/message_text.h"
#include "core/window_messages.h"
#include "app/uninstall.h"
#include "app/wait_painting.h"
#include "install/folder_swap.h"
#include "install/install_records.h"
#include "install/package_check.h"
#include "install/rollback_floor.h"
#include "install/system.h"
#include "install/system_win.h"
#include "net/host_resolve.h"
#include "wire/records.h"
#include "ui/quillbank_dlg.h"

namespace {

constexpr int kHostAttempts = 3;
constexpr DWORD kCloseWaitMs = 500;

}  // namespace

namespace {

DWORD g_stall_timeout_ms = InstallController::kStallTimeoutMs;
UINT g_reconnect_pause_ms = InstallController::kReconnectPauseMs;
constexpr UINT kWatchdogTickMs = 1000;

std::string FailedLogPath() { return InstallContext::Get().InstallDir + kFailedLogSuffix; }

// The file a package check failed at, and why: in the log and as debug output.
void LogCheckFailure(const PackageCheckFailure& failure) {
  const std::string line =
      "OnInstall" QB_COLON "Package Check Faile " + failure.file + ": " + failure.reason;
  WriteLog(line.c_str());
  DebugOutput((line + "\r\n").c_str());
}

}  // namespace

std::string ConnectionFailureText() {
  return std::string(GetMessageText(kTextInstallFail)) + "," + GetMessageText(kTextServerLinkFail);
}

void InstallController::SetStallTimeoutForTest(DWORD ms) { g_stall_timeout_ms = ms; }

void InstallController::SetReconnectPauseForTest(UINT ms) { g_reconnect_pause_ms = ms; }

InstallController::InstallController(const UpdateServers& update_servers,
                                     const uint8_t* package_key)
    : update_servers_(update_servers) {
  AddPackageKey(package_key);
  swap_steps_.wait = WaitPainting;
}

InstallController::~InstallController() {
  StopReuse();
  // The program ends only once the replaced install is deleted.
  if (cleanup_.joinable()) cleanup_.join();
  // The clients' destructors end their receive threads before anything goes.
  download_.reset();
  check_.reset();
  hashes_.reset();
}

void InstallController::OnCreate(TQuillbankDlg& dlg) {
  if (window_created_) window_created_(dlg.Handle());
  check_ = std::make_unique<ProcessCheck>();
  download_ = std::make_unique<ProcessDL>();
  if (!package_keys_.empty()) {
    hashes_ = std::make_unique<StagedHashes>();
    download_->CheckPackages(hashes_.get());
  }
  SetUpPaths();
  InstallContext& ctx = InstallContext::Get();
  // Before anything else touches the folders: a replace cut short at the last run is settled, so
  // that the old or the new install is in place before anyone clicks.
  const std::vector<std::string> recovered = RecoverInstallFolders(ctx.InstallDir);
  std::string held;
  const bool staging_cleared = !PathExists(ctx.StagingDir.c_str()) ||
                               DeletePath(ctx.StagingDir.c_str(), &held);
  OpenInstallLog();
  for (const std::string& line : recovered) WriteLog(("OnCreate" QB_COLON + line).c_str());
  if (!staging_cleared) {
    WriteLog(("OnCreate" QB_COLON "cannot delete " + ctx.StagingDir + " (" + held + ")").c_str());
  }
}

bool InstallController::CloseBoxWhileInstalling() const {
  return CloseActionFor(phase_) == CloseAction::FailThenClose;
}

void InstallController::OnButtonClick(TQuillbankDlg& dlg) {
  if (phase_ != InstallPhase::Ready) return;
  phase_ = InstallPhase::Checking;
  dlg.SetState(WindowState::Installing);
  dlg.SetFilesDone(0);
  dlg.SetFilesTotal(0);

  std::srand(static_cast<unsigned>(std::time(nullptr)));
  const int start = std::rand() % kHostAttempts;
  const AccountRecord account = InstallerAccountRecord();
  bool connected = false;
  for (int i = 0; i < kHostAttempts && !connected; ++i) {
    char host[80] = {};
    std::snprintf(host, sizeof host, update_servers_.HostPattern, ((start + i) % kHostAttempts) + 1);
    char address[16] = {};
    if (!ResolveHostIPv4(host, address, sizeof address)) continue;
    connected = check_->Connect(address, update_servers_.Port, &account);
    if (!connected) ++refused_connects_;
  }
  if (connected) {
    WriteLog("OnButtonClick" QB_COLON "Connect Success");
    dlg.SetFilesDone(0);
    ArmWatchdog(dlg);
  } else {
    WriteLog("OnButtonClick" QB_COLON "Connect Faile");
    PostToMainWindow(UM_LOGIN_FAIL, 0, 0);
  }
}

void InstallController::OnModuleDL() {
  phase_ = InstallPhase::Downloading;
  KillRunningTerminal();
  ConnectDownload();
  WriteLog("OnModuleDL" QB_COLON "Connect");
}

void InstallController::ConnectDownload() {
  const InstallContext& ctx = InstallContext::Get();
  const uint16_t port = static_cast<uint16_t>(ctx.DownloadPort & 0xFFFF);
  // Without a port the attempt fails, which reaches the window as UM_DL_DISCONNECT through the
  // client.
  const AccountRecord account = InstallerAccountRecord();
  download_->Connect(ctx.DownloadHost, port, &account);
}

void InstallController::OnDownloadLost(TQuillbankDlg& dlg) {
  if (closing_ || reconnects_ >= kMaxReconnects) {
    if (!closing_) WriteLog("OnDLDisconnect" QB_COLON "no reconnection left");
    OnInstallFail(dlg, ConnectionFailureText().c_str());
    return;
  }
  ++reconnects_;
  const UINT pause = g_reconnect_pause_ms << (reconnects_ - 1);
  phase_ = InstallPhase::Reconnecting;
  // Nothing is awaited during the pause; the watchdog watches the new connection once it is up.
  DisarmWatchdog(dlg);
  char text[100] = {};
  std::snprintf(text, sizeof text, "OnDLDisconnect" QB_COLON "Reconnect %d of %d in %u ms",
                static_cast<int>(reconnects_), kMaxReconnects, pause);
  WriteLog(text);
  dlg.ShowReconnecting(true);
  if (dlg.Handle() == nullptr ||
      SetTimer(dlg.Handle(), kReconnectTimerId, pause, /*lpTimerFunc=*/nullptr) == 0) {
    OnInstallFail(dlg, ConnectionFailureText().c_str());
  }
}

void InstallController::Reconnect(TQuillbankDlg& dlg) {
  phase_ = InstallPhase::Downloading;
  char text[100] = {};
  std::snprintf(text, sizeof text, "OnReconnect" QB_COLON "Connect %d", static_cast<int>(reconnects_));
  WriteLog(text);
  // A connect that fails reports UM_DL_DISCONNECT before it returns, which schedules the next
  // attempt (or fails the install): only a connection still standing is watched.
  ConnectDownload();
  if (phase_ == InstallPhase::Downloading) ArmWatchdog(dlg);
}

void InstallController::OnBaseDone(TQuillbankDlg& dlg, int32_t error_code) {
  if (error_code == 0) {
    const int32_t total = static_cast<int32_t>(ModuleList::Get().Count());
    dlg.SetFilesTotal(total);
    RequestDownload();
  } else {
    char text[100] = {};
    // The debug texts keep the name this step has always had in them.
    std::snprintf(text, sizeof text, "OnDLAuthentLink errorcode : %d", static_cast<int>(error_code));
    DebugOutput(text);
    // The sequence cannot go on; the user must not be left in Installing without a way out.
    OnInstallFail(dlg);
  }
  DebugOutput("OnDLAuthentLink");
}

void InstallController::RequestDownload() {
  if (manifest_stage_ == ManifestStage::None && !package_keys_.empty()) {
    manifest_stage_ = ManifestStage::Waiting;
  }
  if (manifest_stage_ == ManifestStage::Waiting) {
    if (download_->DownloadManifest()) return;
    // In already (its message is on its way), or a list without a manifest, which the check at
    // the end refuses: the rest is asked for as before.
    bool listed = false;
    for (const ModuleRecord& module : ModuleList::Get()) {
      listed = listed || std::strncmp(module.Name, kManifestFileName, sizeof module.Name) == 0;
    }
    if (listed) return;
    manifest_stage_ = ManifestStage::Done;
  }
  // While the reuse runs nothing is asked for; its end asks for the rest.
  if (manifest_stage_ == ManifestStage::Reusing) return;
  download_->DownloadModule();
}

void InstallController::OnManifestIn(TQuillbankDlg& dlg) {
  if (manifest_stage_ != ManifestStage::Waiting) return;
  const InstallContext& ctx = InstallContext::Get();
  PackageManifest manifest;
  PackageCheckFailure failure;
  if (!CheckPackageManifest(ctx.StagingDir + "\\" + kManifestFileName, CheckInput(), &manifest,
                            &failure)) {
    // Nothing else is downloaded for a version this program will not install.
    LogCheckFailure(failure);
    OnInstallFail(dlg, GetMessageText(kTextPackageCheckFailed));
    return;
  }
  // What the manifest lists is all that may be written, and no more of it than its size.
  std::map<std::string, uint64_t> sizes;
  for (const ManifestFile& file : manifest.files) {
    sizes.emplace(ctx.StagingDir + "\\" + file.path, file.size);
  }
  download_->LimitToManifest(std::move(sizes));
  if (!PathExists((ctx.InstallDir + "\\" + kModuleInfoName).c_str())) {
    manifest_stage_ = ManifestStage::Done;
    if (phase_ == InstallPhase::Downloading) download_->DownloadModule();
    return;
  }
  // Hashing the install takes a while for a large one: off the window thread.
  manifest_stage_ = ManifestStage::Reusing;
  reuse_cancel_ = false;
  const std::string install = ctx.InstallDir;
  const std::string staging = ctx.StagingDir;
  reuse_thread_ = std::thread([this, manifest, install, staging] {
    const DWORD start = GetTickCount();
    reuse_result_ =
        ReuseInstalledModules(manifest, install, staging, kManifestFileName, &reuse_cancel_);
    reuse_ms_ = GetTickCount() - start;
    PostToMainWindow(UM_REUSE_DONE, 0, 0);
  });
}

void InstallController::OnReuseDone(TQuillbankDlg& dlg) {
  if (manifest_stage_ != ManifestStage::Reusing) return;
  if (reuse_thread_.joinable()) reuse_thread_.join();
  manifest_stage_ = ManifestStage::Done;
  const std::string& staging = InstallContext::Get().StagingDir;
  std::vector<std::pair<std::string, uint64_t>> files;
  for (const ReusedFile& file : reuse_result_.files) {
    if (hashes_ != nullptr) hashes_->Put(staging + "\\" + file.path, file.size, file.sha256);
    files.emplace_back(file.path, file.size);
  }
  // The reused modules count as finished files all at once: one step, not one message each.
  const size_t reused = download_->MarkReused(reuse_result_.modules, files,
                                              reuse_result_.modules_listed, reuse_result_.bytes);
  if (reused > 0) dlg.StepProgress(static_cast<int32_t>(reused));
  // The benchmarks read what the hashing of the install cost.
  char text[100] = {};
  std::snprintf(text, sizeof text, "OnReuseDone" QB_COLON "hashed and copied in %lu ms",
                static_cast<unsigned long>(reuse_ms_));
  WriteLog(text);
  // While reconnecting, the next connection asks for the rest.
  if (phase_ == InstallPhase::Downloading) download_->DownloadModule();
}

void InstallController::StopReuse() {
  if (!reuse_thread_.joinable()) return;
  reuse_cancel_ = true;
  reuse_thread_.join();
}

void InstallController::OnInstall(TQuillbankDlg& dlg) {
  // The service has nothing more to send: both connections end here, so that no later drop can
  // change the outcome shown.
  phase_ = InstallPhase::Finishing;
  DisarmWatchdog(dlg);
  CloseConnections();
  dlg.ShowInstallFinishing();
  // Something else (an antivirus program, say) may have removed or cut a staged file since it
  // completed; installing then would report success with files missing.
  std::string bad;
  std::string reason;
  if (!download_->CompletedFilesIntact(&bad, &reason)) {
    const std::string line = "OnInstall" QB_COLON "Staged File Check Faile " + bad + ": " + reason;
    WriteLog(line.c_str());
    DebugOutput((line + "\r\n").c_str());
    OnInstallFail(dlg, GetMessageText(kTextPackageCheckFailed));
    return;
  }
  if (!package_keys_.empty()) {
    if (!StagedPackagePasses()) {
      OnInstallFail(dlg, GetMessageText(kTextPackageCheckFailed));
      return;
    }
    // Only now does anything of the package leave the staging folder.
    download_->UnpackKeptBaseArchive();
  }
  CloseInstallLog();

  const InstallContext& ctx = InstallContext::Get();
  if (!WriteModuleInfo() || !WriteUpdateIni()) {
    DebugOutput("OnInstall cannot write module.info or update.ini in the staging folder\r\n");
    OnInstallFail(dlg);
    return;
  }
  const DWORD start = GetTickCount();
  const SwapResult swap = SwapInStagedInstall(ctx.StagingDir, ctx.InstallDir, swap_steps_);
  if (!swap.placed) {
    // The log is still in the staging folder, which the failure keeps as the failed attempt's log.
    ReopenInstallLog();
    for (const std::string& line : swap.lines) {
      WriteLog(("OnInstall" QB_COLON + line).c_str());
      DebugOutput(("OnInstall " + line + "\r\n").c_str());
    }
    OnInstallFail(dlg);
    return;
  }
  char text[100] = {};
  std::snprintf(text, sizeof text, "OnInstall placed in %lu ms%s\r\n",
                static_cast<unsigned long>(GetTickCount() - start), swap.copied ? " by copy" : "");
  DebugOutput(text);
  CreateDesktopShortcut();
  WriteTerminalConfig();
  if (!RegisterUninstall()) DebugOutput("OnInstall cannot register the uninstall\r\n");
  DeleteFileA(FailedLogPath().c_str());
  // A signed install raises the floor below which no later install may go, wherever the
  // install folder goes.
  if (!package_keys_.empty() && !WriteRollbackFloor(ctx.PackageNumber, ctx.LatestVersion)) {
    DebugOutput("OnInstall cannot record the rollback floor\r\n");
  }
  phase_ = InstallPhase::Installed;
  dlg.SetState(WindowState::Installed);
  dlg.RepaintNow();
  // What the new install replaced goes while the user looks at "Open"; nothing waits for it but
  // the end of the program.
  const std::string previous = ctx.InstallDir + kPreviousSuffix;
  const std::string staging = swap.copied ? ctx.StagingDir : std::string();
  cleanup_ = std::thread([previous, staging] {
    if (PathExists(previous.c_str())) DeletePath(previous.c_str());
    if (!staging.empty()) DeletePath(staging.c_str());
  });
}

PackageCheckInput InstallController::CheckInput() const {
  const InstallContext& ctx = InstallContext::Get();
  PackageCheckInput input;
  input.staging_dir = ctx.StagingDir;
  input.public_keys = package_keys_;
  input.now = static_cast<uint64_t>(std::time(nullptr));
  input.package_number = ctx.PackageNumber;
  input.version = ctx.LatestVersion;
  input.has_installed = ReadInstalledVersion(ctx.InstallDir, &input.installed);
  input.has_floor = ReadRollbackFloor(ctx.PackageNumber, &input.floor);
  return input;
}

bool InstallController::StagedPackagePasses() {
  const InstallContext& ctx = InstallContext::Get();
  PackageCheckInput input = CheckInput();
  const std::string archive = download_->KeptBaseArchive();
  if (!archive.empty()) input.base_archive = archive.substr(ctx.StagingDir.size() + 1);
  input.own_files.push_back(kInstallLogRelativePath);
  input.hashes = hashes_.get();
  PackageCheckFailure failure;
  const DWORD start = GetTickCount();
  if (CheckStagedPackage(input, &failure)) {
    // What the check added after the last byte: the benchmarks read it from the copied log.
    char text[100] = {};
    std::snprintf(text, sizeof text, "OnInstall" QB_COLON "Package Check Success %lu ms",
                  static_cast<unsigned long>(GetTickCount() - start));
    WriteLog(text);
    return true;
  }
  LogCheckFailure(failure);
  return false;
}

void InstallController::OnInstallFail(TQuillbankDlg& dlg, const char* gbk_text) {
  if (phase_ == InstallPhase::Failed || phase_ == InstallPhase::Installed) return;
  phase_ = InstallPhase::Failed;
  DisarmWatchdog(dlg);
  if (dlg.Handle() != nullptr) KillTimer(dlg.Handle(), kReconnectTimerId);
  dlg.ShowReconnecting(false);
  // Stopped before anything else: a drop reported by the stop itself finds the phase final.
  CloseConnections();
  // Nothing may write into the staging folder once it is being deleted.
  StopReuse();
  dlg.ShowFailure(gbk_text != nullptr ? gbk_text : GetMessageText(kTextInstallFail));
  CloseInstallLog();
  // The one log of a failed attempt that outlives the staging folder, for the user to send.
  const InstallContext& ctx = InstallContext::Get();
  const std::string log = ctx.StagingDir + "\\" + kInstallLogRelativePath;
  if (PathExists(log.c_str())) {
    CopyFileA(log.c_str(), FailedLogPath().c_str(), /*bFailIfExists=*/FALSE);
  }
  DeletePath(ctx.StagingDir.c_str());
}

void InstallController::OnCheckDrop(TQuillbankDlg& dlg, bool before_list) {
  ++check_disconnects_;
  if (refused_connects_ > 0) {
    // A connect attempt of the click that failed: it only counts.
    --refused_connects_;
  } else if (before_list) {
    // The established check connection is gone before the module list is complete: nothing
    // more can come.
    OnInstallFail(dlg, ConnectionFailureText().c_str());
    return;
  }
  if (check_disconnects_ == kHostAttempts) OnInstallFail(dlg, ConnectionFailureText().c_str());
}

bool InstallController::OnMessage(TQuillbankDlg& dlg, UINT message, WPARAM, LPARAM l_param) {
  if (message < UM_CHECK_AUTH_FAIL || message > kLastClientMessage) return false;
  // The client knows before its UM_DOWNLOAD_DONE arrives that every file is in; a drop sent
  // meanwhile (sent messages overtake posted ones) must not undo the download.
  if ((phase_ == InstallPhase::Downloading || phase_ == InstallPhase::Reconnecting) &&
      download_->DownloadComplete()) {
    phase_ = InstallPhase::Downloaded;
  }
  const Reaction reaction = ReactionFor(phase_, message);
  switch (reaction) {
    case Reaction::Ignore: {
      char text[100] = {};
      std::snprintf(text, sizeof text, "message %u ignored in %s\r\n", message, PhaseName(phase_));
      DebugOutput(text);
      break;
    }
    case Reaction::Fail:
      OnInstallFail(dlg);
      break;
    case Reaction::FailPackageCheck:
      OnInstallFail(dlg, GetMessageText(kTextPackageCheckFailed));
      break;
    case Reaction::FailWithCode: {
      char text[100] = {};
      std::snprintf(text, sizeof text, "%s,%s%d", GetMessageText(kTextInstallFail),
                    GetMessageText(kTextErrorCode), static_cast<int>(l_param));
      OnInstallFail(dlg, text);
      break;
    }
    case Reaction::CheckDropBeforeList:
      OnCheckDrop(dlg, /*before_list=*/true);
      break;
    case Reaction::CountCheckDrop:
      OnCheckDrop(dlg, /*before_list=*/false);
      break;
    case Reaction::StartDownload:
      OnModuleDL();
      // The download connection is the one waited on from now.
      if (phase_ == InstallPhase::Downloading) ArmWatchdog(dlg);
      break;
    case Reaction::BaseDone:
      OnBaseDone(dlg, static_cast<int32_t>(l_param));
      break;
    case Reaction::StepProgress:
      dlg.StepProgress();
      break;
    case Reaction::DownloadLost:
      OnDownloadLost(dlg);
      break;
    case Reaction::DataFlows:
      dlg.ShowReconnecting(false);
      break;
    case Reaction::Install:
      OnInstall(dlg);
      break;
    case Reaction::ManifestIn:
      OnManifestIn(dlg);
      break;
    case Reaction::ReuseDone:
      OnReuseDone(dlg);
      break;
  }
  return true;
}

uint64_t InstallController::WatchedBytes() const {
  ProcessClient* client = phase_ == InstallPhase::Checking ? static_cast<ProcessClient*>(check_.get())
                                                           : download_.get();
  return client != nullptr ? client->BytesReceived() : 0;
}

void InstallController::ArmWatchdog(TQuillbankDlg& dlg) {
  watched_bytes_ = WatchedBytes();
  last_progress_ms_ = GetTickCount();
  if (!watchdog_armed_ && dlg.Handle() != nullptr) {
    const UINT tick = g_stall_timeout_ms < kWatchdogTickMs * 4 ? std::max<UINT>(g_stall_timeout_ms / 4, 10)
                                                               : kWatchdogTickMs;
    watchdog_armed_ = SetTimer(dlg.Handle(), kStallTimerId, tick, /*lpTimerFunc=*/nullptr) != 0;
  }
}

void InstallController::DisarmWatchdog(TQuillbankDlg& dlg) {
  if (watchdog_armed_ && dlg.Handle() != nullptr) KillTimer(dlg.Handle(), kStallTimerId);
  watchdog_armed_ = false;
}

void InstallController::OnTimer(TQuillbankDlg& dlg, UINT_PTR timer_id) {
  if (timer_id == kReconnectTimerId) {
    KillTimer(dlg.Handle(), kReconnectTimerId);
    if (phase_ == InstallPhase::Reconnecting) Reconnect(dlg);
    return;
  }
  if (timer_id != kStallTimerId) return;
  if (phase_ != InstallPhase::Checking && phase_ != InstallPhase::Downloading) {
    DisarmWatchdog(dlg);
    return;
  }
  if (phase_ == InstallPhase::Downloading && download_->DownloadComplete()) return;
  const uint64_t bytes = WatchedBytes();
  const DWORD now = GetTickCount();
  // Unpacking the base archive, or hashing the earlier install: no byte is awaited meanwhile.
  const bool client_busy = phase_ == InstallPhase::Downloading &&
                           (download_->Unpacking() || manifest_stage_ == ManifestStage::Reusing);
  if (bytes != watched_bytes_ || client_busy) {
    watched_bytes_ = bytes;
    last_progress_ms_ = now;
    return;
  }
  if (now - last_progress_ms_ < g_stall_timeout_ms) return;
  char text[100] = {};
  std::snprintf(text, sizeof text, "OnTimer" QB_COLON "no byte for %lu ms in %s",
                static_cast<unsigned long>(now - last_progress_ms_), PhaseName(phase_));
  WriteLog(text);
  if (phase_ == InstallPhase::Downloading) {
    // A silent download connection is treated as lost: closing it reports UM_DL_DISCONNECT at
    // once, which reconnects or fails.
    download_->CloseConnection();
    if (phase_ == InstallPhase::Downloading) OnDownloadLost(dlg);
    return;
  }
  OnInstallFail(dlg, ConnectionFailureText().c_str());
}

void InstallController::OnOpen(TQuillbankDlg&) { LaunchTerminal(); }

void InstallController::CloseConnections() {
  download_->CloseConnection();
  check_->CloseConnection();
}

void InstallController::OnClose(TQuillbankDlg& dlg) {
  closing_ = true;
  DisarmWatchdog(dlg);
  if (dlg.Handle() != nullptr) KillTimer(dlg.Handle(), kReconnectTimerId);
  // Closed during the check or the download: the install ends as with a lost connection, the old
  // install untouched.
  if (CloseActionFor(phase_) == CloseAction::FailThenClose) {
    char text[100] = {};
    std::snprintf(text, sizeof text, "OnClose" QB_COLON "closed in %s", PhaseName(phase_));
    WriteLog(text);
    OnInstallFail(dlg, ConnectionFailureText().c_str());
  }
  CloseConnections();
  Sleep(kCloseWaitMs);
}

void InstallController::OnDestroy(TQuillbankDlg&) {
  CloseConnections();
  CloseInstallLog();
}
