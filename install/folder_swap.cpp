// The replace by rename, its copy fallback, and the start-up recovery.
#include "install/folder_swap.h"

#include <cstdio>

#include "base/file_system.h"
#include "base/thread.h"
#include "install/copy_check.h"
#include "install/system.h"

namespace {

bool IsComplete(const std::string& folder) {
  return PathExists((folder + "\\" + kModuleInfoName).c_str());
}

// The staged install copied into `install_dir` (which does not exist), module.info last, so that
// a copy cut short never looks complete.
bool CopyIntoPlace(const std::string& staging_dir, const std::string& install_dir,
                   const SwapSteps& steps, SwapResult* result) {
  const std::string info = staging_dir + "\\" + kModuleInfoName;
  const std::string info_aside = staging_dir + ".module.info";
  if (!RenamePath(info.c_str(), info_aside.c_str())) {
    result->lines.push_back("Replace: cannot set module.info aside for the copy");
    return false;
  }
  unsigned long exit_code = 0;
  const bool ran = steps.run(CopyCommand(staging_dir, install_dir).c_str(), &exit_code);
  std::string missing;
  // XCOPY /C goes on past a file it cannot copy and may still end with 0: what counts is what
  // arrived.
  const bool whole = ran && CopyIsComplete(staging_dir, install_dir, &missing);
  const std::string info_placed = install_dir + "\\" + kModuleInfoName;
  if (whole && RenamePath(info_aside.c_str(), info_placed.c_str())) return true;
  RenamePath(info_aside.c_str(), info.c_str());
  char text[400] = {};
  std::snprintf(text, sizeof text, "Replace: copy exit code %lu, incomplete at: %s", exit_code,
                whole ? kModuleInfoName : missing.c_str());
  result->lines.push_back(text);
  return false;
}

}  // namespace

SwapSteps::SwapSteps()
    : rename(RenamePath),
      held_file(FirstHeldFile),
      run([](const char* command, unsigned long* exit_code) { return RunAndWait(command, exit_code); }),
      wait([](unsigned ms) { SleepMilliseconds(static_cast<int>(ms)); }) {}

std::string CopyCommand(const std::string& from, const std::string& to) {
  return "cmd.exe /c XCOPY \"" + from + "\" \"" + to + "\\\" /S /E /Y /C";
}

SwapResult SwapInStagedInstall(const std::string& staging_dir, const std::string& install_dir,
                               const SwapSteps& steps) {
  SwapResult result;
  const std::string previous = install_dir + kPreviousSuffix;
  // The start-up recovery has dealt with an earlier ".previous"; one it could not remove is in
  // the way of this replace.
  if (PathExists(previous.c_str())) {
    result.lines.push_back("Replace: " + previous + " is in the way");
    return result;
  }
  const bool had_install = PathExists(install_dir.c_str());
  if (had_install) {
    bool moved = false;
    for (unsigned waited = 0;; waited += steps.retry_pause_ms) {
      // A held file does not stop every file system from renaming its folder (Wine's does not),
      // but the old install must not move from under a program that uses it.
      result.held = steps.held_file(install_dir);
      if (result.held.empty() && steps.rename(install_dir.c_str(), previous.c_str())) {
        moved = true;
        break;
      }
      if (waited >= steps.hold_retry_ms) break;
      steps.wait(steps.retry_pause_ms);
    }
    if (!moved) {
      result.lines.push_back("Replace: cannot move " + install_dir + " aside" +
                             (result.held.empty() ? std::string() : ", held: " + result.held));
      return result;
    }
    result.held.clear();
  }
  if (steps.rename(staging_dir.c_str(), install_dir.c_str())) {
    result.placed = true;
    return result;
  }
  // Some file of staging is held: the same bytes are copied instead.
  result.lines.push_back("Replace: cannot rename the staging folder, copying it");
  if (CopyIntoPlace(staging_dir, install_dir, steps, &result)) {
    result.placed = result.copied = true;
    return result;
  }
  DeletePath(install_dir.c_str());
  if (had_install && !steps.rename(previous.c_str(), install_dir.c_str())) {
    // The next start puts it back.
    result.lines.push_back("Replace: cannot put the old install back; it stays as " + previous);
  }
  return result;
}

namespace {

// "Recovery: cannot delete WHAT (the file in the way)".
std::string CannotDelete(const std::string& what, const std::string& left) {
  std::string line = "Recovery: cannot delete ";
  line += what;
  line += " (";
  line += left;
  line += ")";
  return line;
}

}  // namespace

std::vector<std::string> RecoverInstallFolders(const std::string& install_dir) {
  std::vector<std::string> lines;
  const std::string previous = install_dir + kPreviousSuffix;
  if (!PathExists(previous.c_str())) return lines;
  std::string left;
  if (IsComplete(install_dir)) {
    if (DeletePath(previous.c_str(), &left)) {
      lines.push_back("Recovery: deleted " + previous);
    } else {
      lines.push_back(CannotDelete(previous, left));
    }
    return lines;
  }
  if (PathExists(install_dir.c_str())) {
    if (!DeletePath(install_dir.c_str(), &left)) {
      lines.push_back(CannotDelete("the incomplete " + install_dir, left));
      return lines;
    }
    lines.push_back("Recovery: deleted the incomplete " + install_dir);
  }
  lines.push_back(RenamePath(previous.c_str(), install_dir.c_str())
                      ? "Recovery: put " + previous + " back"
                      : "Recovery: cannot put " + previous + " back");
  return lines;
}
