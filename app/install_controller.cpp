// The install controller's reactions. Everything here runs on the window thread; the clients
// reach it only through their window messages.
#include "app/install_controller.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "app/debug_output.h"
#include "app/file_system.h"
#include "app/install_context.h"
#include "app/install_log.h"
#include "app/message_text.h"
#include "app/window_messages.h"
#include "install/install_records.h"
#include "install/system.h"
#include "net/frame_codec.h"
#include "net/host_resolve.h"
#include "net/protocol.h"
#include "net/tcp.h"
#include "ui/quillbank_dlg.h"

namespace {

constexpr char kAccountText[] = "kivor";
constexpr int kHostAttempts = 3;
constexpr DWORD kCloseWaitMs = 500;

AccountRecord InstallerAccount() {
  AccountRecord record;
  std::memcpy(record.UserName, kAccountText, sizeof kAccountText);
  std::memcpy(record.Password, kAccountText, sizeof kAccountText);
  return record;
}

// At most 15 characters of a dotted-quad address, as the codec holds it.
void SetCodecServer(FrameCodec* codec, const char* address, uint16_t port) {
  char text[16] = {};
  std::memcpy(text, address, strnlen(address, 15));
  codec->SetServer(text, port);
}

}  // namespace

void FormatCopyCommand(char* out, size_t out_size) {
  const InstallContext& ctx = InstallContext::Get();
  std::snprintf(out, out_size, "cmd.exe /c XCOPY \"%s\" \"%s\\\" /S /E /Y /C",
                ctx.StagingDir.c_str(), ctx.InstallDir.c_str());
}

InstallController::InstallController(const UpdateServers& update_servers)
    : update_servers_(update_servers) {}

InstallController::~InstallController() {
  // The clients' destructors end their receive threads before anything goes.
  download_.reset();
  check_.reset();
}

void InstallController::OnCreate(TQuillbankDlg&) {
  check_ = std::make_unique<ProcessCheck>();
  download_ = std::make_unique<ProcessDL>();
  SetUpPaths();
  InstallContext& ctx = InstallContext::Get();
  DeletePath(ctx.StagingDir.c_str());
  OpenInstallLog();
}

void InstallController::OnButtonClick(TQuillbankDlg& dlg) {
  dlg.SetState(WindowState::Installing);
  dlg.SetFilesDone(0);
  dlg.SetFilesTotal(0);

  std::srand(static_cast<unsigned>(std::time(nullptr)));
  const int start = std::rand() % kHostAttempts;
  const AccountRecord account = InstallerAccount();
  bool connected = false;
  for (int i = 0; i < kHostAttempts && !connected; ++i) {
    char host[80] = {};
    std::snprintf(host, sizeof host, update_servers_.HostPattern, ((start + i) % kHostAttempts) + 1);
    char address[16] = {};
    if (!ResolveHostIPv4(host, address, sizeof address)) continue;
    check_->CreateConnection();
    SetCodecServer(check_->codec(), address, update_servers_.Port);
    connected = check_->codec()->Connect(&account);
  }
  if (connected) {
    WriteLog("OnButtonClick\xA3\xBA" "Connect Success");
    dlg.SetFilesDone(0);
  } else {
    WriteLog("OnButtonClick\xA3\xBA" "Connect Faile");
    PostToMainWindow(UM_LOGIN_FAIL, 0, 0);
  }
}

void InstallController::OnModuleDL() {
  KillRunningTerminal();
  download_->CreateConnection();
  const InstallContext& ctx = InstallContext::Get();
  const uint16_t port = static_cast<uint16_t>(ctx.DownloadPort & 0xFFFF);
  // Without a port the codec keeps no address; the failed connect then reaches the window as
  // UM_DL_DISCONNECT through the client.
  if (port != 0) SetCodecServer(download_->codec(), ctx.DownloadHost, port);
  const AccountRecord account = InstallerAccount();
  download_->codec()->Connect(&account);
  WriteLog("OnModuleDL\xA3\xBA" "Connect");
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
  dlg.ShowInstallFinishing();
  CloseInstallLog();
  WriteModuleInfo();
  WriteUpdateIni();

  const InstallContext& ctx = InstallContext::Get();
  // The old install is moved aside, not deleted, so a failed copy can put it back.
  const std::string aside = ctx.InstallDir + ".previous";
  if (PathExists(aside.c_str())) DeletePath(aside.c_str());
  const bool had_install = PathExists(ctx.InstallDir.c_str());
  if (had_install && !RenamePath(ctx.InstallDir.c_str(), aside.c_str())) {
    // Something still holds a file of the old install: leave it exactly as it is.
    DebugOutput("OnInstall cannot move the old install aside\r\n");
    DeletePath(ctx.StagingDir.c_str());
    dlg.ShowFailure(GetMessageText(kTextInstallFail));
    return;
  }

  char command[1024] = {};
  FormatCopyCommand(command, sizeof command);
  unsigned long exit_code = 0;
  if (!RunAndWait(command, &exit_code)) {
    char text[100] = {};
    std::snprintf(text, sizeof text, "OnInstall copy exit code : %d", static_cast<int>(exit_code));
    DebugOutput(text);
    DeletePath(ctx.InstallDir.c_str());
    if (had_install) RenamePath(aside.c_str(), ctx.InstallDir.c_str());
    DeletePath(ctx.StagingDir.c_str());
    dlg.ShowFailure(GetMessageText(kTextInstallFail));
    return;
  }
  if (had_install) DeletePath(aside.c_str());
  DeletePath(ctx.StagingDir.c_str());
  CreateDesktopShortcut();
  WriteTerminalConfig();
  dlg.SetState(WindowState::Installed);
  dlg.RepaintNow();
}

void InstallController::OnInstallFail(TQuillbankDlg& dlg) {
  // The close after a finished install drops the download connection on purpose; the finished
  // install stays on screen until the window goes.
  if (!(closing_ && dlg.State() == WindowState::Installed)) {
    dlg.ShowFailure(GetMessageText(kTextInstallFail));
  }
  CloseInstallLog();
  DeletePath(InstallContext::Get().StagingDir.c_str());
}

bool InstallController::OnMessage(TQuillbankDlg& dlg, UINT message, WPARAM, LPARAM l_param) {
  switch (message) {
    case UM_CHECK_AUTH_FAIL:
      OnInstallFail(dlg);
      return true;
    case UM_LOGIN_FAIL:
      dlg.ShowFailure(GetMessageText(kTextInstallFail));
      return true;
    case UM_MODULE_CHECK_DONE:
      OnModuleDL();
      return true;
    case UM_FILE_DONE:
      dlg.StepProgress();
      return true;
    case UM_DOWNLOAD_DONE:
      OnInstall(dlg);
      return true;
    case UM_BASE_DONE:
      OnDLAuthentLink(dlg, static_cast<int32_t>(l_param));
      return true;
    case UM_UPDATE_REFUSED:
      dlg.ShowFailureWithCode(static_cast<int32_t>(l_param));
      return true;
    case UM_DL_DISCONNECT:
      OnInstallFail(dlg);
      return true;
    case UM_CHECK_DISCONNECT:
      if (++check_disconnects_ == 3) OnInstallFail(dlg);
      return true;
    default:
      return false;
  }
}

void InstallController::OnOpen(TQuillbankDlg&) { LaunchTerminal(); }

void InstallController::StopConnection(ProcessClient* client) {
  if (client == nullptr) return;
  if (Protocol* session = client->session()) session->SetStop(true);
  if (FrameCodec* codec = client->codec()) {
    if (TTcp* transport = codec->transport()) transport->Close();
  }
}

void InstallController::OnClose(TQuillbankDlg&) {
  closing_ = true;
  StopConnection(download_.get());
  StopConnection(check_.get());
  Sleep(kCloseWaitMs);
}

void InstallController::OnDestroy(TQuillbankDlg&) {
  closing_ = true;
  StopConnection(check_.get());
  StopConnection(download_.get());
  CloseInstallLog();
}
