// The replace of an install by the staged one, done by renames, and the start-up rules that put
// whichever install is whole back in place after a replace was cut short (a power cut, a killed
// process). The folders' states, in the order a replace passes through them:
//   1. InstallDir (old)                        staging (new)
//   2. InstallDir.previous (old)               staging (new)
//   3. InstallDir.previous (old)  InstallDir (new, with module.info)
//   4. InstallDir (new)                        (".previous" deleted after "Open")
// A rename is atomic, so at start-up a ".previous" means 2 or 3: without InstallDir (or beside an
// InstallDir lacking module.info, which only a copy cut short leaves) it is put back, beside a
// complete InstallDir it is deleted.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "core/install_context.h"

// Written last into the staging folder: an install folder holding it is complete.
constexpr char kModuleInfoName[] = "module.info";

// What the replace asks of the system. Each member defaults to the real step; tests replace them.
struct SwapSteps {
  SwapSteps();
  std::function<bool(const char* from, const char* to)> rename;
  // A file below the folder that a program holds open so that the folder cannot move, or empty.
  std::function<std::string(const std::string& folder)> held_file;
  // Runs the copy command and waits for it (RunAndWait).
  std::function<bool(const char* command, unsigned long* exit_code)> run;
  // Passes `ms` between two attempts (the installer keeps its window painting meanwhile).
  std::function<void(unsigned ms)> wait;
  // How long a held old install is retried, and the pause between attempts.
  unsigned hold_retry_ms = 3000;
  unsigned retry_pause_ms = 250;
};

struct SwapResult {
  bool placed = false;
  // Placed by the copy fallback: the staging folder is still there, to be deleted.
  bool copied = false;
  // The file that kept the old install from moving aside, when one was found.
  std::string held;
  // What was done, for the install log.
  std::vector<std::string> lines;
};

// The copy command of the fallback: XCOPY of `from` into `to`, hidden.
std::string CopyCommand(const std::string& from, const std::string& to);

// Replaces `install_dir` by `staging_dir`: the old install is renamed to "<install_dir>.previous"
// (retried while a file in it is held), then staging is renamed to `install_dir`. When that second
// rename fails, staging is copied instead, module.info last, and the copy is verified. On any
// failure the old install is back in place as it was, and staging is still there. On success the
// ".previous" is left for the caller to delete.
SwapResult SwapInStagedInstall(const std::string& staging_dir, const std::string& install_dir,
                               const SwapSteps& steps = SwapSteps());

// The start-up rules above, applied to `install_dir` and the ".previous" beside it before anything
// else touches them. Returns what was done, one line each (nothing when there was nothing to do).
std::vector<std::string> RecoverInstallFolders(const std::string& install_dir);
