// SHA-256 of bytes and of files, over whichever provider the build hashes with.
#include "base/sha256.h"

#include <cstdio>
#include <vector>

#include "base/file_system.h"

Sha256Digest Sha256Of(const uint8_t* data, size_t size) {
  Sha256 hash;
  hash.Update(data, size);
  return hash.Finish();
}

bool Sha256OfFile(const char* path, Sha256Digest* digest, uint64_t* size) {
  FILE* file = OpenFile(path, "rb");
  if (file == nullptr) return false;
  Sha256 hash;
  std::vector<uint8_t> block(1 << 16);
  uint64_t total = 0;
  size_t got = 0;
  while ((got = std::fread(block.data(), 1, block.size(), file)) > 0) {
    hash.Update(block.data(), got);
    total += got;
  }
  const bool read_whole = std::ferror(file) == 0;
  std::fclose(file);
  if (!read_whole) return false;
  const Sha256Digest value = hash.Finish();
  // A provider that failed hashed nothing: its digest must not pass for the file's.
  if (hash.failed()) return false;
  *digest = value;
  if (size != nullptr) *size = total;
  return true;
}
