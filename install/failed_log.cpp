// Keeping the log of a failed attempt beside the install folder.
#include "install/failed_log.h"

#include "base/file_system.h"
#include "core/install_log.h"
#include "install/system.h"

bool KeepFailedLog(const std::string& staging_dir, const std::string& install_dir) {
  const std::string log = staging_dir + "\\" + kInstallLogRelativePath;
  return PathExists(log.c_str()) &&
         CopyFileOver(log.c_str(), (install_dir + kFailedLogSuffix).c_str());
}

void DeleteFailedLog(const std::string& install_dir) {
  const std::string path = install_dir + kFailedLogSuffix;
  if (PathExists(path.c_str())) DeletePath(path.c_str());
}
