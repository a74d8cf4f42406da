// A file opened for reading that nobody may write while it stays open: a hash taken through it
// still holds when the file is used later. An update's reuse links installed files into staging
// and keeps them open like this until the package check, so that the check can trust the hash
// the reuse took instead of reading every byte of the install a second time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/scoped_generic.h"

struct HeldFileTraits {
  using Handle = intptr_t;  // a HANDLE on Windows, a descriptor elsewhere
  static intptr_t InvalidValue() { return -1; }
  static void Free(intptr_t handle);
};

class HeldFile {
 public:
  // Opens `path` for reading. On a system that keeps writers out (KeepsWritersOut) the open
  // shares reading and deletion only: it fails while another program has the file open for
  // writing, and while it is open nobody can open it so. False when it cannot be opened.
  bool Open(const char* path);
  // Reads up to `size` bytes at the current position into `data`; `*got` is 0 at the end. False
  // on a read error.
  bool Read(void* data, size_t size, size_t* got);
  bool is_open() const { return file_.valid(); }
  void Close() { file_.reset(); }

  // True where an open HeldFile keeps every other writer out (Windows); a POSIX system has no
  // such share modes, and a file held there can still be written by others.
  static bool KeepsWritersOut();

 private:
  ScopedGeneric<HeldFileTraits> file_;
};
