// Keeping the log of a failed attempt beside the install folder.
#include "install/failed_log.h"

#include <cstdio>

#include "base/file_system.h"
#include "base/scoped_generic.h"
#include "base/written_file.h"
#include "core/install_log.h"
#include "install/system.h"

bool KeepFailedLog(const std::string& staging_dir, const std::string& install_dir) {
  const std::string log = staging_dir + "\\" + kInstallLogRelativePath;
  ScopedGeneric<StdioFileTraits> from(OpenFile(log.c_str(), "rb"));
  if (!from.valid()) return false;
  WrittenFile to;
  if (!to.Open(install_dir + kFailedLogSuffix, 64 * 1024)) return false;
  char buffer[16384];
  size_t read = 0;
  while ((read = std::fread(buffer, 1, sizeof buffer, from.get())) > 0) {
    if (!to.Write(buffer, read)) return false;
  }
  return !std::ferror(from.get()) && to.Close();
}

void DeleteFailedLog(const std::string& install_dir) {
  const std::string path = install_dir + kFailedLogSuffix;
  if (PathExists(path.c_str())) DeletePath(path.c_str());
}
