// HeldFile on POSIX: an ordinary descriptor; nothing keeps other writers out.
#include "base/held_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "base/file_system.h"

void HeldFileTraits::Free(intptr_t handle) { close(static_cast<int>(handle)); }

bool HeldFile::Open(const char* path) {
  const int fd = open(NativePath(path).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  file_.reset(fd);
  return true;
}

bool HeldFile::Read(void* data, size_t size, size_t* got) {
  *got = 0;
  if (!file_.valid()) return false;
  ssize_t read_now = -1;
  do {
    read_now = read(static_cast<int>(file_.get()), data, size);
  } while (read_now < 0 && errno == EINTR);
  if (read_now < 0) return false;
  *got = static_cast<size_t>(read_now);
  return true;
}

bool HeldFile::KeepsWritersOut() { return false; }
