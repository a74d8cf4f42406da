// The installer program's entry: start-up, the modal installer window, shut-down.
#include <windows.h>

#include "app/install_controller.h"
#include "app/package_key.h"
#include "base/resources.h"
#include "clients/server_selection.h"
#include "core/install_context.h"
#include "core/message_text.h"
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

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  InitInstaller();
  {
    InstallController controller(DeploymentUpdateServers(), PackagePublicKey());
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
