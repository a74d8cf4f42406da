// A file being written, with its stream buffer: the one owner of a file the installer writes
// piece by piece. Close says whether every byte reached the disk; a file dropped without Close (a
// lost connection) is closed unchecked.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

#include "base/scoped_generic.h"

struct StdioFileTraits {
  using Handle = FILE*;
  static FILE* InvalidValue() { return nullptr; }
  static void Free(FILE* file) { std::fclose(file); }
};

class WrittenFile {
 public:
  WrittenFile() = default;
  WrittenFile(const WrittenFile&) = delete;
  WrittenFile& operator=(const WrittenFile&) = delete;

  // Creates `path` (a file there is deleted first, never written through) and writes it through a buffer of `buffer_size` bytes, made on
  // first use and kept for the next file. Drops a file still open first. False when the file
  // cannot be created.
  bool Open(const std::string& path, size_t buffer_size);
  // False when the stream did not take every byte (or nothing is open).
  bool Write(const void* data, size_t size);
  // Closes the file meant to be complete: false when its buffered bytes did not all reach the
  // disk. True when nothing is open.
  bool Close();
  // Closes without asking whether the bytes arrived: the file is incomplete anyway.
  void Drop() { file_.reset(); }
  bool is_open() const { return file_.valid(); }
  // The last Open, Write or Close failed because the disk was full.
  bool disk_full() const { return disk_full_; }

 private:
  // False, with disk_full() saying why; `wanted` bytes were on their way to the disk.
  bool Failed(uint64_t wanted);
  // Declared first: the buffer outlives the stream it serves.
  std::vector<char> buffer_;
  ScopedGeneric<StdioFileTraits> file_;
  std::string path_;
  bool disk_full_ = false;
};
