// Reading a file once for its chunks and its whole hash.
#include "base/file_chunks.h"

#include <cstdio>
#include <cstring>

#include "base/file_system.h"

bool ChunkFile(const char* path, const ChunkSizes& sizes, FileChunks* out) {
  FILE* file = OpenFile(path, "rb");
  if (file == nullptr) return false;
  // At least `max` bytes ahead of each cut, read in blocks of a few times that.
  const size_t capacity = static_cast<size_t>(sizes.max) * 4;
  std::vector<uint8_t> buffer(capacity);
  size_t begin = 0;
  size_t end = 0;
  bool at_end = false;
  Sha256 whole;
  FileChunks result;
  while (true) {
    if (!at_end && end - begin < sizes.max) {
      std::memmove(buffer.data(), buffer.data() + begin, end - begin);
      end -= begin;
      begin = 0;
      while (end < capacity) {
        const size_t got = std::fread(buffer.data() + end, 1, capacity - end, file);
        if (got == 0) {
          at_end = true;
          break;
        }
        end += got;
      }
    }
    if (begin == end) break;
    const size_t length = ChunkLength(buffer.data() + begin, end - begin, sizes);
    ManifestChunk chunk;
    chunk.length = static_cast<uint32_t>(length);
    chunk.sha256 = Sha256Of(buffer.data() + begin, length);
    whole.Update(buffer.data() + begin, length);
    result.chunks.push_back(chunk);
    result.size += length;
    begin += length;
  }
  const bool read_whole = std::ferror(file) == 0;
  std::fclose(file);
  result.sha256 = whole.Finish();
  if (!read_whole || whole.failed()) return false;
  *out = std::move(result);
  return true;
}
