// The install steps that reach outside the install's own folders: the terminal that runs, the
// desktop shortcut and the Apps & features entry. The program's are the system's own
// (install_steps_win.cpp); the controller's tests give stand-ins.
#pragma once

#include "base/module_record.h"
#include "core/install_context.h"

class InstallSteps {
 public:
  virtual ~InstallSteps() = default;
  // Before the download: a terminal running from the installer's folder is ended.
  virtual void StopRunningTerminal() = 0;
  // "Open": the installed terminal is started.
  virtual void StartTerminal(const InstallContext& ctx) = 0;
  virtual bool CreateShortcut(const InstallContext& ctx) = 0;
  // The program beside the install and the entry naming `version`.
  virtual bool RegisterUninstall(const InstallContext& ctx, const VersionPair& version) = 0;
};

// The system's own steps (Windows).
InstallSteps& SystemInstallSteps();
