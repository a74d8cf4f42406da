// The installer program's entry: start-up, the modal installer window, shut-down.
#include <windows.h>

#include "app/controller_window_win.h"
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

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR arguments, int) {
  // Before anything can load a DLL: none from the program's own folder (a Downloads folder).
  RestrictDllSearchToSystemFolder();
  const UninstallCommand uninstall = ParseUninstallCommand(arguments);
  // The uninstall's second stage starts while its first still holds the mutex.
  if (uninstall.stage == UninstallStage::FromTemp) WaitForUninstallParent(uninstall.parent);
  InstallContext ctx = RunContext();
  // First of all, before any server is probed or any folder touched: a user who started the
  // installer twice gets the running one back.
  SingleInstance instance(ctx.PackageNumber);
  if (!instance.first() && uninstall.stage == UninstallStage::None) {
    DebugOutput(instance.BringRunningToFront()
                    ? "WinMain: the installer of this package runs already; its window is in front\r\n"
                    : "WinMain: the installer of this package runs already (no window yet)\r\n");
    return 0;
  }
  // An uninstall waits its turn: an installer that was just told "Open" ends by itself, after it
  // has deleted the install it replaced.
  if (!instance.first() && !instance.WaitForFirst(kUninstallWaitMs)) {
    DebugOutput("WinMain: the installer of this package still runs; no uninstall\r\n");
    ShowUninstallMustWait(ctx.PackageNumber);
    return 1;
  }
  if (uninstall.stage != UninstallStage::None) {
    return uninstall.stage == UninstallStage::FromEntry ? UninstallFromEntry(ctx)
                                                        : UninstallFromTemp(ctx);
  }
  // Everything the window takes for granted: drawing objects, sockets, and the product name from
  // the package query (which may fail; the window opens anyway).
  CreateDrawingObjects();
  StartSockets();
  FetchPackageInfo(DeploymentQueryServers(), ctx.LanguageId, ctx.PackageNumber, &ctx.ProductName);
  {
    ControllerWindow window(RunConfig(ctx), &SystemInstallSteps(), MarkWindow, &instance);
    {
      TQuillbankDlg dlg(&window, ctx);
      dlg.RunModal();
      // The window is gone; the drawing objects may go now, before the window object.
      DeleteDrawingObjects();
      StopSockets();
    }
  }
  return 0;
}
