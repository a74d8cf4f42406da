// Runs BaseZipNeeded in a process of its own, with DependDir from QB_PROBE_DEPEND_DIR. Exit code:
// the Windows major version times 10, plus 1 when the base archive is needed.
#include <windows.h>

#include <cstdlib>

#include "core/install_context.h"
#include "install/system.h"

int main() {
  const char* depend_dir = std::getenv("QB_PROBE_DEPEND_DIR");
  if (depend_dir == nullptr) return 255;
  OSVERSIONINFOW version = {};
  version.dwOSVersionInfoSize = sizeof version;
  GetVersionExW(&version);
  return static_cast<int>(version.dwMajorVersion) * 10 + (BaseZipNeeded(depend_dir) ? 1 : 0);
}
