// The installer program's entry: start-up, the modal installer window, shut-down.
#include <windows.h>

#include "app/install_controller.h"
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

// Everything the window takes for granted: drawing objects, package number, language, sockets,
// and the product name from the package query (which may fail; the window opens anyway).
void InitInstaller() {
  CreateDrawingObjects();
  InstallContext& ctx = InstallContext::Get();
  ctx.PackageNumber = LoadPackageNumberString();
  ctx.LanguageId = NormalizeLanguageId(static_cast<int32_t>(GetUserDefaultUILanguage()));
  StartSockets();
  FetchPackageInfo(DeploymentQueryServers());
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR arguments, int) {
  // Before anything can load a DLL: none from the program's own folder (a Downloads folder).
  RestrictDllSearchToSystemFolder();
  const UninstallCommand uninstall = ParseUninstallCommand(arguments);
  // The uninstall's second stage starts while its first still holds the mutex.
  if (uninstall.stage == UninstallStage::FromTemp) WaitForUninstallParent(uninstall.parent);
  // First of all, before any server is probed or any folder touched: a user who started the
  // installer twice gets the running one back.
  SingleInstance instance(LoadPackageNumberString());
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
    ShowUninstallMustWait(LoadPackageNumberString());
    return 1;
  }
  if (uninstall.stage != UninstallStage::None) {
    InstallContext::Get().PackageNumber = LoadPackageNumberString();
    SetUpPaths();
    return uninstall.stage == UninstallStage::FromEntry ? UninstallFromEntry()
                                                        : UninstallFromTemp();
  }
  InitInstaller();
  {
    const PackageKeys keys = PackagePublicKeys();
    InstallController controller(DeploymentUpdateServers(),
                                 keys.count > 0 ? keys.keys[0] : nullptr);
    for (int i = 1; i < keys.count; ++i) controller.AddPackageKey(keys.keys[i]);
    controller.SetSwapSteps(InstallerSwapSteps());
    controller.SetWindowCreatedHook([&instance](HWND window) { instance.MarkWindow(window); });
    {
      TQuillbankDlg dlg(&controller);
      dlg.RunModal();
      // The window is gone; the drawing objects may go now, before the window object.
      DeleteDrawingObjects();
      StopSockets();
    }
  }
  return 0;
}
