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

bool RemoveDependDirFromStoredPath(std::string* path, const std::string& depend_dir) {
  std::string kept;
  bool removed = false;
  bool first = true;
  size_t begin = 0;
  while (begin <= path->size()) {
    size_t end = path->find(';', begin);
    if (end == std::string::npos) end = path->size();
    const std::string entry = path->substr(begin, end - begin);
    if (entry == depend_dir) {
      removed = true;
    } else {
      if (!first) kept += ';';
      kept += entry;
      first = false;
    }
    begin = end + 1;
  }
  if (removed) *path = kept;
  return removed;
}
