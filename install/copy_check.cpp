// Compares the files of a copy's source with what arrived, by relative path and size.
#include "install/copy_check.h"

#include <vector>

#include "base/file_system.h"

bool CopyIsComplete(const std::string& from, const std::string& to, std::string* first_bad) {
  if (first_bad != nullptr) first_bad->clear();
  std::vector<FileEntry> files;
  if (!ListFiles(from, &files)) return false;
  for (const FileEntry& file : files) {
    uint64_t size = 0;
    if (!RegularFileSize((to + "\\" + file.relative).c_str(), &size) || size != file.size) {
      if (first_bad != nullptr) *first_bad = file.relative;
      return false;
    }
  }
  return true;
}
