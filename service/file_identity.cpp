// File identities from stat(2).
#include "service/file_identity.h"

#include <sys/stat.h>

namespace {

FileIdentity FromStat(const struct stat& st) {
  FileIdentity id;
  id.device = static_cast<uint64_t>(st.st_dev);
  id.inode = static_cast<uint64_t>(st.st_ino);
  id.size = static_cast<uint64_t>(st.st_size);
  id.mtime_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  id.known = true;
  return id;
}

}  // namespace

bool ReadFileIdentity(const std::string& path, FileIdentity* out) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  *out = FromStat(st);
  return true;
}

bool ReadFileIdentity(int fd, FileIdentity* out) {
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  *out = FromStat(st);
  return true;
}

bool StillTheFileLoaded(const std::string& path, const FileIdentity& expected) {
  if (!expected.known) return true;
  FileIdentity now;
  return ReadFileIdentity(path, &now) && now == expected;
}
