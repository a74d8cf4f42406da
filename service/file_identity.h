// Which file a package's module was loaded from, as the file system tells it apart: device,
// inode, size and modification time. Version folders are never to change once served; a file
// replaced or rewritten in place after its version was loaded no longer matches, and its records
// are then refused rather than answered with bytes they do not name.
#pragma once

#include <cstdint>
#include <string>

struct FileIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;
  uint64_t size = 0;
  int64_t mtime_ns = 0;
  bool known = false;  // read from a file (modules made in memory have none)

  bool operator==(const FileIdentity& o) const {
    return device == o.device && inode == o.inode && size == o.size && mtime_ns == o.mtime_ns;
  }
  bool operator!=(const FileIdentity& o) const { return !(*this == o); }
};

// The identity of the file at `path` (links followed, as opening it does); false when it
// cannot be read.
bool ReadFileIdentity(const std::string& path, FileIdentity* out);
// The identity of an open file.
bool ReadFileIdentity(int fd, FileIdentity* out);
// True when `expected` is unknown or the file at `path` still is the one it describes.
bool StillTheFileLoaded(const std::string& path, const FileIdentity& expected);
