// The package's Apps & features entry and its uninstall. A successful install copies this program
// beside the install folder ("<InstallDir>.uninstall.exe") and names it, with "/uninstall", in the
// entry. Run from there it copies itself to the temporary folder and starts that copy, which
// waits until the first one has exited and then removes the install and everything the installs
// left, the program beside the install included.
#pragma once

#include <cstdint>
#include <string>

#include "base/module_record.h"
#include "core/install_context.h"

// How long an uninstall waits for a running installer of the package to end before it gives up.
constexpr unsigned long kUninstallWaitMs = 60000;
// Tells the user that the uninstall gave up waiting for the installer.
void ShowUninstallMustWait(const std::string& package_number);

// After a successful install of `version`: the program beside the install folder and the entry.
// False when either could not be written.
bool RegisterUninstall(const InstallContext& ctx, const VersionPair& version);

// The first stage, from the entry: the copy in the temporary folder is started (or, when it cannot
// be, the uninstall runs here). Returns the program's exit code.
int UninstallFromEntry(const InstallContext& ctx);
// The second stage: waits (a while at most) for the process `parent` names to exit.
void WaitForUninstallParent(uint64_t parent);
// Stops the terminal and removes what the installs left, in the folders `ctx` names; the rollback
// floor stays. 0 when everything is gone; otherwise a message names what is left, and 1.
int UninstallFromTemp(const InstallContext& ctx);
