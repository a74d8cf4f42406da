// Native stand-in of the file layer: Windows path text with "\" mapped to "/".
#include "base/file_system.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <system_error>

std::string NativePath(const std::string& path) {
  std::string native = path;
  std::replace(native.begin(), native.end(), '\\', '/');
  return native;
}

FILE* OpenFile(const char* path, const char* mode) {
  return std::fopen(NativePath(path).c_str(), mode);
}

bool LastWriteFoundDiskFull(const std::string& path, uint64_t wanted) {
  if (errno == ENOSPC || errno == EDQUOT) return true;
  const std::string native = NativePath(path);
  const size_t slash = native.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : native.substr(0, slash + 1);
  struct statvfs volume = {};
  return statvfs(folder.c_str(), &volume) == 0 &&
         static_cast<uint64_t>(volume.f_bavail) * volume.f_frsize < wanted;
}

bool PathExists(const char* path) { return access(NativePath(path).c_str(), F_OK) == 0; }

bool MakeDirectory(const char* path) { return mkdir(NativePath(path).c_str(), 0755) == 0; }

bool RenamePath(const char* from, const char* to) {
  return std::rename(NativePath(from).c_str(), NativePath(to).c_str()) == 0;
}

bool CopyFileOver(const char* from, const char* to) {
  std::error_code error;
  return std::filesystem::copy_file(NativePath(from), NativePath(to),
                                    std::filesystem::copy_options::overwrite_existing, error);
}

bool LinkFile(const char* existing, const char* link) {
  const std::string from = NativePath(existing);
  struct stat info = {};
  if (lstat(from.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  return ::link(from.c_str(), NativePath(link).c_str()) == 0;
}

namespace {

bool ListBelow(const std::string& native_folder, const std::string& prefix,
               std::vector<FileEntry>* out) {
  DIR* dir = opendir(native_folder.c_str());
  if (dir == nullptr) return false;
  bool ok = true;
  while (dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    const std::string path = native_folder + "/" + name;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
      ok = false;
      continue;
    }
    if (S_ISDIR(st.st_mode)) {
      ok = ListBelow(path, prefix + name + "\\", out) && ok;
    } else if (S_ISREG(st.st_mode)) {
      out->push_back({prefix + name, static_cast<uint64_t>(st.st_size)});
    }
  }
  closedir(dir);
  return ok;
}

}  // namespace

bool ListFiles(const std::string& folder, std::vector<FileEntry>* out) {
  return ListBelow(NativePath(folder), "", out);
}

namespace {

bool Left(const std::string& path, std::string* first_left) {
  if (first_left != nullptr && first_left->empty()) *first_left = path;
  return false;
}

// `path` is the Windows text (for what is left), `native` the same path here.
bool RemoveEntry(const std::string& path, const std::string& native, std::string* first_left) {
  struct stat st;
  if (lstat(native.c_str(), &st) != 0) return Left(path, first_left);
  if (!S_ISDIR(st.st_mode)) {  // a file, or a link of any kind: unlinked, never followed
    return unlink(native.c_str()) == 0 || Left(path, first_left);
  }
  std::vector<std::string> names;
  if (DIR* dir = opendir(native.c_str())) {
    while (dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
  } else {
    return Left(path, first_left);
  }
  bool ok = true;
  for (const std::string& name : names) {
    ok = RemoveEntry(path + "\\" + name, native + "/" + name, first_left) && ok;
  }
  if (rmdir(native.c_str()) == 0) return ok;
  return ok ? Left(path, first_left) : false;
}

}  // namespace

bool RemoveTree(const std::string& path, std::string* first_left) {
  struct stat st;
  if (path.empty() || lstat(NativePath(path).c_str(), &st) != 0) return false;
  return RemoveEntry(path, NativePath(path), first_left);
}

bool RegularFileSize(const char* path, uint64_t* size) {
  struct stat st;
  if (stat(NativePath(path).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  *size = static_cast<uint64_t>(st.st_size);
  return true;
}
