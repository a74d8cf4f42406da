// The file layer on Windows: the C runtime takes the path text as it is.
#include "base/file_system.h"

#include <direct.h>
#include <io.h>
#include <windows.h>

std::string NativePath(const std::string& path) { return path; }

FILE* OpenFile(const char* path, const char* mode) { return std::fopen(path, mode); }

bool PathExists(const char* path) { return _access(path, 0) == 0; }

bool MakeDirectory(const char* path) { return _mkdir(path) == 0; }

bool RenamePath(const char* from, const char* to) { return MoveFileA(from, to) != FALSE; }

namespace {

bool ListBelow(const std::string& folder, const std::string& prefix,
               std::vector<FileEntry>* out) {
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND;
  bool ok = true;
  do {
    const std::string name = found.cFileName;
    if (name == "." || name == "..") continue;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      ok = ListBelow(folder + "\\" + name, prefix + name + "\\", out) && ok;
    } else {
      const uint64_t size = (static_cast<uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
      out->push_back({prefix + name, size});
    }
  } while (FindNextFileA(search, &found));
  ok = GetLastError() == ERROR_NO_MORE_FILES && ok;
  FindClose(search);
  return ok;
}

}  // namespace

bool ListFiles(const std::string& folder, std::vector<FileEntry>* out) {
  const DWORD attributes = GetFileAttributesA(folder.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return false;
  }
  return ListBelow(folder, "", out);
}

bool RegularFileSize(const char* path, uint64_t* size) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data) ||
      (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return false;
  }
  *size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  return true;
}
