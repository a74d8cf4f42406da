// A file cut into content-defined chunks as it is read once: each chunk's length and SHA-256,
// and the SHA-256 and size of the whole file. What a packer lists in the manifest, and what an
// installer finds in an old file that its manifest listed without chunks.
#pragma once

#include <cstdint>
#include <vector>

#include "base/content_chunks.h"
#include "base/package_manifest.h"
#include "base/sha256.h"

struct FileChunks {
  std::vector<ManifestChunk> chunks;
  Sha256Digest sha256 = {};
  uint64_t size = 0;
};

// False when the file cannot be opened or read to its end, or a hash failed. `sizes` must be
// valid.
bool ChunkFile(const char* path, const ChunkSizes& sizes, FileChunks* out);
