// Path-text edits shared by the Windows integration and its native stand-in.
#include "install/path_text.h"

std::string ProcessPathWithDependDir(const std::string& path, const std::string& depend_dir) {
  if (path.find(depend_dir) != std::string::npos) return path;
  return path + ";" + depend_dir;
}

bool AddDependDirToStoredPath(std::string* path, const std::string& depend_dir) {
  const std::string needle = path->empty() ? depend_dir : ";" + depend_dir;
  if (path->find(needle) != std::string::npos) return false;
  *path += needle;
  return true;
}
