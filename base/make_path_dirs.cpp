// MakePathDirs, on top of the file-system seam.
#include "base/make_path_dirs.h"

#include <cstddef>
#include <cstring>

#include "base/file_system.h"

bool MakePathDirs(const char* path) {
  constexpr size_t kMaxPath = 259;
  if (path == nullptr) return false;
  const size_t length = std::strlen(path);
  if (length > kMaxPath) return false;
  char prefix[kMaxPath + 1];
  // Files of one folder come one after another: when the last folder is there, so is every one
  // before it, and one question replaces one per folder of the path (each a walk of the path
  // under Wine).
  const char* last = std::strrchr(path, '\\');
  if (last != nullptr && last - path > 2) {
    const size_t end = static_cast<size_t>(last - path) + 1;
    std::memcpy(prefix, path, end);
    prefix[end] = '\0';
    if (PathExists(prefix)) return true;
  }
  for (size_t i = 0; i < length; ++i) {
    if (path[i] != '\\') continue;
    std::memcpy(prefix, path, i + 1);
    prefix[i + 1] = '\0';
    // A lone backslash or a drive root ("C:\") always exists.
    if (i == 0 || (i == 2 && path[1] == ':')) continue;
    if (!PathExists(prefix) && !MakeDirectory(prefix)) return false;
  }
  return true;
}
