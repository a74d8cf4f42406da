// The installer program's entry: start-up, the modal installer window, shut-down.
#include <windows.h>

#include <string>
#include <utility>

#include "app/command_line.h"
#include "app/controller_window_win.h"
#include "app/exit_codes.h"
#include "app/install_controller.h"
#include "app/install_steps.h"
#include "app/package_key.h"
#include "app/single_instance.h"
#include "app/swap_steps.h"
#include "app/uninstall.h"
#include "base/debug_output.h"
#include "base/resources.h"
#include "base/win/system_library.h"
#include "clients/server_selection.h"
#include "core/install_context.h"
#include "core/message_text.h"
#include "install/uninstall_entry.h"
#include "net/socket_ops.h"
#include "ui/drawing_objects.h"
#include "ui/quillbank_dlg.h"

namespace {

// The one context of this run: the package number (string 102), the user's language and the
// folders. The product name comes later, from the package query.
InstallContext RunContext() {
  InstallContext ctx;
  ctx.PackageNumber = LoadPackageNumberString();
  ctx.LanguageId = NormalizeLanguageId(static_cast<int32_t>(GetUserDefaultUILanguage()));
  SetUpPaths(&ctx);
  return ctx;
}

// Everything the controller is made with: the context, the deployment's servers and keys, and
// the replace's steps (waiting with the window painting).
ControllerConfig RunConfig(const InstallContext& ctx) {
  ControllerConfig config;
  config.context = ctx;
  config.update_servers = DeploymentUpdateServers();
  const PackageKeys keys = PackagePublicKeys();
  for (int i = 0; i < keys.count; ++i) config.package_keys.push_back(keys.keys[i]);
  config.swap_steps = InstallerSwapSteps();
  return config;
}

void MarkWindow(HWND window, void* instance) {
  static_cast<SingleInstance*>(instance)->MarkWindow(window);
}

// The usage, after what was not understood when `command` was refused.
void ShowUsage(const CommandLine& command) {
  std::wstring text;
  if (command.action == CommandAction::Invalid) {
    text = L"Not understood: " + command.refused + L"\r\n\r\n";
  }
  text +=
      L"quillbank-setup [/silent | /verysilent] [/log=PATH]\r\n"
      L"quillbank-setup /uninstall [/silent | /verysilent]\r\n\r\n"
      L"/silent\tinstalls with no click; the window closes at the end\r\n"
      L"/verysilent\tthe same with no window\r\n"
      L"/log=PATH\talso copies the install log to PATH at the end\r\n"
      L"/uninstall\tremoves the install\r\n\r\n"
      L"Exit codes: see the README.";
  MessageBoxW(nullptr, text.c_str(), L"quillbank ix setup",
              command.action == CommandAction::Invalid ? MB_OK | MB_ICONWARNING : MB_OK);
}

// The run's install log (a path in the system's code page), copied to the path /log= named.
bool CopyLogTo(const std::string& log, const std::wstring& target) {
  wchar_t source[MAX_PATH * 2];
  if (MultiByteToWideChar(CP_ACP, 0, log.c_str(), -1, source, MAX_PATH * 2) == 0) return false;
  return CopyFileW(source, target.c_str(), /*bFailIfExists=*/FALSE) != FALSE;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  // Before anything can load a DLL: none from the program's own folder (a Downloads folder).
  RestrictDllSearchToSystemFolder();
  const CommandLine command = ParseCommandLine(GetCommandLineW());
  if (command.action == CommandAction::Invalid || command.action == CommandAction::Usage) {
    // Nothing is installed; in the silent modes nothing is shown either.
    if (!command.quiet()) ShowUsage(command);
    return command.action == CommandAction::Usage ? kExitSuccess : kExitInvalidCommandLine;
  }
  const bool uninstall = command.action == CommandAction::Uninstall ||
                         command.action == CommandAction::UninstallRun;
  InstallContext ctx = RunContext();
  // First of all, before any server is probed or any folder touched: a user who started the
  // installer twice gets the running one back.
  SingleInstance instance(ctx.PackageNumber);
  if (!instance.first() && !uninstall) {
    if (command.quiet()) {
      DebugOutput("WinMain: the installer of this package runs already\r\n");
    } else if (instance.BringRunningToFront()) {
      DebugOutput("WinMain: the installer of this package runs already; its window is in "
                  "front\r\n");
    } else {
      DebugOutput("WinMain: the installer of this package runs already (no window yet)\r\n");
    }
    return kExitAnotherInstall;
  }
  // An uninstall waits its turn: an installer that was just told "Open" ends by itself, after it
  // has deleted the install it replaced; the uninstall's first stage lets go once its second
  // has started.
  if (!instance.first() && !instance.WaitForFirst(kUninstallWaitMs)) {
    DebugOutput("WinMain: the installer of this package still runs; no uninstall\r\n");
    if (!command.quiet()) ShowUninstallMustWait(ctx.PackageNumber);
    return kExitAnotherInstall;
  }
  if (command.action == CommandAction::Uninstall) {
    return UninstallFromEntry(ctx, command.ui, &instance);
  }
  if (command.action == CommandAction::UninstallRun) return UninstallFromTemp(ctx, command);
  // Everything the window takes for granted: drawing objects, sockets, and the product name from
  // the package query (which may fail; the window opens anyway).
  CreateDrawingObjects();
  StartSockets();
  FetchPackageInfo(DeploymentQueryServers(), ctx.LanguageId, ctx.PackageNumber, &ctx.ProductName);
  ExitCode code = kExitFailed;
  std::string log;
  {
    ControllerConfig config = RunConfig(ctx);
    config.unattended = command.quiet();
    ControllerWindow window(std::move(config), &SystemInstallSteps(), MarkWindow, &instance);
    {
      TQuillbankDlg dlg(&window, ctx);
      dlg.RunModal(/*shown=*/command.ui != UiMode::VerySilent);
      // The window is gone; the drawing objects may go now, before the window object.
      DeleteDrawingObjects();
      StopSockets();
    }
    code = window.controller().exit_code();
    log = window.controller().LogPath();
  }
  // Asked for, the log must be there: an install that succeeded says so when it is not.
  if (!command.log_path.empty() && !CopyLogTo(log, command.log_path)) {
    DebugOutput("WinMain: the install log could not be copied where /log= names\r\n");
    if (code == kExitSuccess) code = kExitLogNotWritten;
  }
  return code;
}
