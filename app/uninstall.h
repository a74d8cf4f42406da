// The package's Apps & features entry and its uninstall. A successful install copies this program
// beside the install folder ("<InstallDir>.uninstall.exe") and names it, with "/uninstall", in the
// entry ("/uninstall /verysilent" as the quiet one). Run from there it copies itself to the
// temporary folder and starts that copy, which removes the install and everything the installs
// left, sends its exit code back to the first one (which exits with it, so that whoever ran the
// uninstall learns how it went), waits until the first has exited and then deletes it too.
#pragma once

#include <cstdint>
#include <string>

#include "app/command_line.h"
#include "app/single_instance.h"
#include "base/module_record.h"
#include "core/install_context.h"

// How long an uninstall waits for a running installer of the package to end before it gives up.
constexpr unsigned long kUninstallWaitMs = 60000;
// Tells the user that the uninstall gave up waiting for the installer.
void ShowUninstallMustWait(const std::string& package_number);

// After a successful install of `version`: the program beside the install folder and the entry.
// False when either could not be written.
bool RegisterUninstall(const InstallContext& ctx, const VersionPair& version);

// The first stage, from the entry: the copy in the temporary folder is started, `instance` let go
// for it, and its exit code awaited (when no copy can be started, the uninstall runs here).
// Returns the program's exit code (exit_codes.h).
int UninstallFromEntry(const InstallContext& ctx, UiMode ui, SingleInstance* instance);
// The second stage (and the first's fallback): stops the terminal and removes what the installs
// left, in the folders `ctx` names; the rollback floor stays. The result goes back on
// `command.result_pipe` when one is given, before the program beside the install is deleted
// once `command.parent` has exited. 0 when everything is gone; otherwise (outside the silent
// modes) a message names what is left, and the code says why.
int UninstallFromTemp(const InstallContext& ctx, const CommandLine& command);
