// The replace's steps in quillbank-setup-pause.exe, a test build for the end-to-end tests only:
// once the old install is renamed to ".previous", it writes "<InstallDir>.paused" and stops
// there for good, so that the test can kill it at exactly that point.
#include <windows.h>

#include <cstdio>
#include <string>

#include "app/swap_steps.h"
#include "app/wait_painting.h"
#include "base/file_system.h"

SwapSteps InstallerSwapSteps() {
  SwapSteps steps;
  steps.wait = WaitPainting;
  steps.rename = [](const char* from, const char* to) {
    if (!RenamePath(from, to)) return false;
    const std::string target = to;
    const std::string suffix = kPreviousSuffix;
    if (target.size() > suffix.size() &&
        target.compare(target.size() - suffix.size(), suffix.size(), suffix) == 0) {
      const std::string marker = target.substr(0, target.size() - suffix.size()) + ".paused";
      if (FILE* file = OpenFile(marker.c_str(), "wb")) std::fclose(file);
      for (;;) Sleep(INFINITE);
    }
    return true;
  };
  return steps;
}
