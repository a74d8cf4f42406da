// The system's own install steps.
#include "app/install_steps.h"

#include "app/uninstall.h"
#include "install/system_win.h"

namespace {

class WindowsInstallSteps : public InstallSteps {
 public:
  void StopRunningTerminal() override { KillRunningTerminal(); }
  void StartTerminal(const InstallContext& ctx) override { LaunchTerminal(ctx); }
  bool CreateShortcut(const InstallContext& ctx) override { return CreateDesktopShortcut(ctx); }
  bool RegisterUninstall(const InstallContext& ctx, const VersionPair& version) override {
    return ::RegisterUninstall(ctx, version);
  }
};

}  // namespace

InstallSteps& SystemInstallSteps() {
  static WindowsInstallSteps steps;
  return steps;
}
