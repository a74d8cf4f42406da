// The install controller's reactions. Everything here runs on the window thread; the clients
// reach it only through their window messages.
#include "app/install_controller.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "base/debug_output.h"
#include "base/file_system.h"
#include "core/install_context.h"
#include "core/install_log.h"
#include "core/message_text.h"
#include "core/window_messages.h"
#include "install/copy_check.h"
#include "install/install_records.h"
#include "install/package_check.h"
#include "install/system.h"
#include "install/system_win.h"
#include "net/frame_codec.h"
#include "net/host_resolve.h"
#include "net/protocol.h"
#include "wire/records.h"
#include "net/tcp.h"
#include "ui/quillbank_dlg.h"

namespace {

constexpr int kHostAttempts = 3;
constexpr DWORD kCloseWaitMs = 500;

// At most 15 characters of a dotted-quad address, as the codec holds it.
void SetCodecServer(FrameCodec* codec, const char* address, uint16_t port) {
  char text[16] = {};
  std::memcpy(text, address, strnlen(address, 15));
  codec->SetServer(text, port);
}

}  // namespace

namespace {

DWORD g_stall_timeout_ms = InstallController::kStallTimeoutMs;
UINT g_reconnect_pause_ms = InstallController::kReconnectPauseMs;
constexpr UINT kWatchdogTickMs = 1000;

}  // namespace

void FormatCopyCommand(char* out, size_t out_size) {
  const InstallContext& ctx = InstallContext::Get();
  std::snprintf(out, out_size, "cmd.exe /c XCOPY \"%s\" \"%s\\\" /S /E /Y /C",
                ctx.StagingDir.c_str(), ctx.InstallDir.c_str());
}

std::string ConnectionFailureText() {
  return std::string(GetMessageText(kTextInstallFail)) + "," + GetMessageText(kTextServerLinkFail);
}

void InstallController::SetStallTimeoutForTest(DWORD ms) { g_stall_timeout_ms = ms; }

void InstallController::SetReconnectPauseForTest(UINT ms) { g_reconnect_pause_ms = ms; }

InstallController::InstallController(const UpdateServers& update_servers,
                                     const uint8_t* package_key)
    : update_servers_(update_servers), package_key_(package_key) {}

InstallController::~InstallController() {
  // The clients' destructors end their receive threads before anything goes.
  download_.reset();
  check_.reset();
  hashes_.reset();
}

void InstallController::OnCreate(TQuillbankDlg&) {
  check_ = std::make_unique<ProcessCheck>();
  download_ = std::make_unique<ProcessDL>();
  if (package_key_ != nullptr) {
    hashes_ = std::make_unique<StagedHashes>();
    download_->CheckPackages(hashes_.get());
  }
  SetUpPaths();
  InstallContext& ctx = InstallContext::Get();
  DeletePath(ctx.StagingDir.c_str());
  OpenInstallLog();
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
    check_->CreateConnection();
    SetCodecServer(check_->codec(), address, update_servers_.Port);
    connected = check_->codec()->Connect(&account);
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
  download_->CreateConnection();
  const InstallContext& ctx = InstallContext::Get();
  const uint16_t port = static_cast<uint16_t>(ctx.DownloadPort & 0xFFFF);
  // Without a port the codec keeps no address; the failed connect then reaches the window as
  // UM_DL_DISCONNECT through the client.
  if (port != 0) SetCodecServer(download_->codec(), ctx.DownloadHost, port);
  const AccountRecord account = InstallerAccountRecord();
  download_->codec()->Connect(&account);
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

void InstallController::OnDLAuthentLink(TQuillbankDlg& dlg, int32_t error_code) {
  if (error_code == 0) {
    const int32_t total = static_cast<int32_t>(ModuleList::Get().Count());
    dlg.SetFilesTotal(total);
    download_->DownloadModule();
  } else {
    char text[100] = {};
    std::snprintf(text, sizeof text, "OnDLAuthentLink errorcode : %d", static_cast<int>(error_code));
    DebugOutput(text);
    // The sequence cannot go on; the user must not be left in Installing without a way out.
    OnInstallFail(dlg);
  }
  DebugOutput("OnDLAuthentLink");
}

void InstallController::OnInstall(TQuillbankDlg& dlg) {
  // The service has nothing more to send: both connections end here, so that no later drop can
  // change the outcome shown.
  phase_ = InstallPhase::Finishing;
  DisarmWatchdog(dlg);
  StopConnections();
  dlg.ShowInstallFinishing();
  if (package_key_ != nullptr) {
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
  if (!PlaceStagedInstall()) {
    OnInstallFail(dlg);
    return;
  }
  DeletePath(ctx.StagingDir.c_str());
  CreateDesktopShortcut();
  WriteTerminalConfig();
  phase_ = InstallPhase::Installed;
  dlg.SetState(WindowState::Installed);
  dlg.RepaintNow();
}

bool InstallController::StagedPackagePasses() {
  const InstallContext& ctx = InstallContext::Get();
  PackageCheckInput input;
  input.staging_dir = ctx.StagingDir;
  input.public_key = package_key_;
  input.package_number = ctx.PackageNumber;
  input.version = ctx.LatestVersion;
  // A ".previous" beside the install folder is the last good install (see PlaceStagedInstall).
  const std::string aside = ctx.InstallDir + ".previous";
  input.has_installed =
      ReadInstalledVersion(PathExists(aside.c_str()) ? aside : ctx.InstallDir, &input.installed);
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
  const std::string line =
      "OnInstall" QB_COLON "Package Check Faile " + failure.file + ": " + failure.reason;
  WriteLog(line.c_str());
  DebugOutput((line + "\r\n").c_str());
  return false;
}

// Replaces the install folder by the staging folder. The install it replaces is kept as
// "<InstallDir>.previous" until the copy is known complete; on any failure it is put back. A
// ".previous" left by an earlier run that ended half-way is the last good install: it is kept,
// and the install folder beside it is only a partial copy.
bool InstallController::PlaceStagedInstall() {
  const InstallContext& ctx = InstallContext::Get();
  const std::string aside = ctx.InstallDir + ".previous";
  if (PathExists(aside.c_str())) {
    if (PathExists(ctx.InstallDir.c_str()) && !DeletePath(ctx.InstallDir.c_str())) {
      DebugOutput("OnInstall cannot clear the install folder beside .previous\r\n");
      return false;
    }
  } else if (PathExists(ctx.InstallDir.c_str()) &&
             !RenamePath(ctx.InstallDir.c_str(), aside.c_str())) {
    // Something still holds a file of the old install: leave it exactly as it is.
    DebugOutput("OnInstall cannot move the old install aside\r\n");
    return false;
  }
  const bool had_install = PathExists(aside.c_str());

  char command[1024] = {};
  FormatCopyCommand(command, sizeof command);
  unsigned long exit_code = 0;
  const bool ran = RunAndWait(command, &exit_code);
  std::string missing;
  // XCOPY /C goes on past a file it cannot copy and may still end with 0: what counts is what
  // arrived.
  if (ran && CopyIsComplete(ctx.StagingDir, ctx.InstallDir, &missing)) {
    if (had_install) DeletePath(aside.c_str());
    return true;
  }
  char text[400] = {};
  std::snprintf(text, sizeof text, "OnInstall copy exit code : %d, incomplete at: %s\r\n",
                static_cast<int>(exit_code), missing.c_str());
  DebugOutput(text);
  DeletePath(ctx.InstallDir.c_str());
  if (had_install && !RenamePath(aside.c_str(), ctx.InstallDir.c_str())) {
    // Still there as ".previous": the next run keeps it as the last good install.
    DebugOutput("OnInstall cannot put the old install back; it stays as .previous\r\n");
  }
  return false;
}

void InstallController::OnInstallFail(TQuillbankDlg& dlg, const char* gbk_text) {
  if (phase_ == InstallPhase::Failed || phase_ == InstallPhase::Installed) return;
  phase_ = InstallPhase::Failed;
  DisarmWatchdog(dlg);
  if (dlg.Handle() != nullptr) KillTimer(dlg.Handle(), kReconnectTimerId);
  dlg.ShowReconnecting(false);
  // Stopped before anything else: a drop reported by the stop itself finds the phase final.
  StopConnections();
  dlg.ShowFailure(gbk_text != nullptr ? gbk_text : GetMessageText(kTextInstallFail));
  CloseInstallLog();
  DeletePath(InstallContext::Get().StagingDir.c_str());
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
    case Reaction::BaseStageOver:
      OnDLAuthentLink(dlg, static_cast<int32_t>(l_param));
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
  }
  return true;
}

uint64_t InstallController::WatchedBytes() const {
  ProcessClient* client = phase_ == InstallPhase::Checking ? static_cast<ProcessClient*>(check_.get())
                                                           : download_.get();
  if (client == nullptr || client->codec() == nullptr) return 0;
  TTcp* transport = client->codec()->transport();
  return transport != nullptr ? transport->BytesReceived() : 0;
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
  const bool client_busy = phase_ == InstallPhase::Downloading && download_->Unpacking();
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
    StopConnection(download_.get());
    if (phase_ == InstallPhase::Downloading) OnDownloadLost(dlg);
    return;
  }
  OnInstallFail(dlg, ConnectionFailureText().c_str());
}

void InstallController::OnOpen(TQuillbankDlg&) { LaunchTerminal(); }

void InstallController::StopConnection(ProcessClient* client) {
  if (client == nullptr) return;
  if (Protocol* session = client->session()) session->SetStop(true);
  if (FrameCodec* codec = client->codec()) {
    if (TTcp* transport = codec->transport()) transport->Close();
  }
}

void InstallController::StopConnections() {
  StopConnection(download_.get());
  StopConnection(check_.get());
}

void InstallController::OnClose(TQuillbankDlg& dlg) {
  closing_ = true;
  DisarmWatchdog(dlg);
  if (dlg.Handle() != nullptr) KillTimer(dlg.Handle(), kReconnectTimerId);
  // Closed while waiting to reconnect: the install has failed, as it would with the connection.
  if (phase_ == InstallPhase::Reconnecting) OnInstallFail(dlg, ConnectionFailureText().c_str());
  StopConnections();
  Sleep(kCloseWaitMs);
}

void InstallController::OnDestroy(TQuillbankDlg&) {
  StopConnection(check_.get());
  StopConnection(download_.get());
  CloseInstallLog();
}
