// The file layer on Windows: the C runtime takes the path text as it is.
#include "base/file_system.h"

#include <direct.h>
#include <io.h>
#include <windows.h>
#include <winioctl.h>

#include <cerrno>
#include <cstdint>
#include <utility>

#include "base/win/scoped_handle.h"

std::string NativePath(const std::string& path) { return path; }

FILE* OpenFile(const char* path, const char* mode) { return std::fopen(path, mode); }

bool LastWriteFoundDiskFull(const std::string& path, uint64_t wanted) {
  const DWORD error = GetLastError();
  if (errno == ENOSPC || error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL) return true;
  const size_t slash = path.find_last_of("\\/");
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  ULARGE_INTEGER free_to_caller = {};
  return GetDiskFreeSpaceExA(folder.c_str(), &free_to_caller, nullptr, nullptr) &&
         free_to_caller.QuadPart < wanted;
}

bool PathExists(const char* path) { return _access(path, 0) == 0; }

bool MakeDirectory(const char* path) { return _mkdir(path) == 0; }

bool RenamePath(const char* from, const char* to) { return MoveFileA(from, to) != FALSE; }

bool CopyFileOver(const char* from, const char* to) {
  return CopyFileA(from, to, /*bFailIfExists=*/FALSE) != FALSE;
}

bool LinkFile(const char* existing, const char* link) {
  // A reparse point would give the new name to the link itself, not to a file of ours.
  const DWORD attributes = GetFileAttributesA(existing);
  if (attributes == INVALID_FILE_ATTRIBUTES ||
      (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
    return false;
  }
  return CreateHardLinkA(link, existing, /*lpSecurityAttributes=*/nullptr) != FALSE;
}

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
    if (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) continue;  // never entered
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

namespace {

bool Left(const std::string& path, std::string* first_left) {
  if (first_left != nullptr && first_left->empty()) *first_left = path;
  return false;
}

// A read-only file or link cannot be deleted until the attribute is off.
void AllowDelete(const std::string& path, DWORD attributes) {
  if (attributes & FILE_ATTRIBUTE_READONLY) {
    const DWORD rest = attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    SetFileAttributesA(path.c_str(), rest != 0 ? rest : FILE_ATTRIBUTE_NORMAL);
  }
}

bool RemoveEntry(const std::string& path, DWORD attributes, std::string* first_left);

// A link (symbolic link, junction) itself, never what it points at. The handle is opened on the
// reparse point, and deleted only once the system confirms that it holds the reparse point: Wine
// resolves a Unix symbolic link when it opens it, whatever the flags, and there RemoveDirectory,
// MoveFile or a delete on close act on the folder or file the link points at. Such a link stays,
// and is named. Its attributes are never touched either (they too would be the target's).
bool RemoveLink(const std::string& path, std::string* first_left) {
  ScopedHandle link(CreateFileA(
      path.c_str(), DELETE | FILE_READ_ATTRIBUTES,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, /*lpSecurityAttributes=*/nullptr,
      OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
      /*hTemplateFile=*/nullptr));
  uint8_t data[1024];
  DWORD size = 0;
  const bool is_link =
      link.valid() && (DeviceIoControl(link.get(), FSCTL_GET_REPARSE_POINT, /*lpInBuffer=*/nullptr,
                                       0, data, sizeof data, &size, /*lpOverlapped=*/nullptr) ||
                       GetLastError() == ERROR_MORE_DATA);
  FILE_DISPOSITION_INFO dispose = {/*DeleteFile=*/TRUE};
  if (!is_link ||
      !SetFileInformationByHandle(link.get(), FileDispositionInfo, &dispose, sizeof dispose)) {
    return Left(path, first_left);
  }
  return true;
}

bool RemoveContents(const std::string& folder, std::string* first_left) {
  std::vector<std::pair<std::string, DWORD>> entries;
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) {
    return GetLastError() == ERROR_FILE_NOT_FOUND || Left(folder, first_left);
  }
  do {
    const std::string name = found.cFileName;
    if (name != "." && name != "..") entries.emplace_back(name, found.dwFileAttributes);
  } while (FindNextFileA(search, &found));
  FindClose(search);
  bool ok = true;
  for (const auto& entry : entries) {
    ok = RemoveEntry(folder + "\\" + entry.first, entry.second, first_left) && ok;
  }
  return ok;
}

bool RemoveEntry(const std::string& path, DWORD attributes, std::string* first_left) {
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return RemoveLink(path, first_left);
  AllowDelete(path, attributes);
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    const bool emptied = RemoveContents(path, first_left);
    if (RemoveDirectoryA(path.c_str())) return emptied;
    return emptied ? Left(path, first_left) : false;
  }
  return DeleteFileA(path.c_str()) || Left(path, first_left);
}

}  // namespace

bool RemoveTree(const std::string& path, std::string* first_left) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (path.empty() || attributes == INVALID_FILE_ATTRIBUTES) return false;
  return RemoveEntry(path, attributes, first_left);
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
