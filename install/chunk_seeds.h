// Old files as the seed of new ones. An update's signed manifest (format 3) lists every file of
// the new version cut into content-defined chunks; the earlier install holds most of those
// chunks already, in the same file or in any other. ChunkSeeds says where each chunk of the
// install is (from the install's own manifest when it lists chunks cut the same way, else by
// cutting the install's files now), and SeedFile builds a new file in staging from them: every
// chunk found is copied to its place, and hashed again as it is read, so that a file changed in
// the install since its manifest was written gives nothing; what is not found is left as byte
// ranges to download.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "base/content_chunks.h"
#include "base/package_manifest.h"
#include "base/sha256.h"

struct SeedLocation {
  Sha256Digest sha256 = {};
  uint32_t file = 0;  // index of the file that holds it (ChunkSeeds::path)
  uint32_t length = 0;
  uint64_t offset = 0;
};

class ChunkSeeds {
 public:
  // The chunks of every file `installed` (the install's manifest) lists in `install_dir`: its
  // own chunk lists when it is of format 3 and cut with `sizes`, else each file cut now with
  // `sizes` (read once). Files missing or unreadable give nothing. Once `*cancel` is set no
  // further file is begun.
  void AddInstall(const PackageManifest& installed, const std::string& install_dir,
                  const ChunkSizes& sizes, const std::atomic<bool>* cancel = nullptr);
  // The chunks listed for the file at `path`, as far as its first `valid_bytes` bytes hold
  // them (an interrupted download's staged file).
  void AddListed(const std::string& path, const std::vector<ManifestChunk>& chunks,
                 uint64_t valid_bytes);
  // Where a chunk of this hash and length may be; null when none is known.
  const SeedLocation* Find(const Sha256Digest& sha256, uint32_t length) const;
  const std::string& path(uint32_t file) const { return paths_[file]; }
  size_t size() const { return seeds_.size(); }

 private:
  std::vector<SeedLocation> seeds_;
  // Hash bytes -> index in seeds_, the first chunk of that hash added. (The map type the
  // program has already: the shipped program stays within its budget.)
  std::map<std::string, uint64_t> by_hash_;
  std::vector<std::string> paths_;
};

// The longest range one request may ask for (the wire's bound, which the download client
// checks this against).
constexpr uint32_t kMaxMissingRange = 4u << 20;

struct ByteRange {
  uint64_t offset = 0;
  uint32_t length = 0;
};

// A chunk the old file at the same path runs into (an append): its first `taken` bytes were
// copied from there unproven, the rest is among the missing ranges; once they are in, the whole
// chunk must hash to `sha256`, else it is fetched whole.
struct ProvisionalChunk {
  uint64_t offset = 0;
  uint32_t length = 0;
  uint32_t taken = 0;
  Sha256Digest sha256 = {};
};

struct SeededFile {
  std::string path;  // below the install root, as the manifest lists it
  uint64_t size = 0;
  uint64_t seeded_bytes = 0;       // copied from the install (provisional chunks' part too)
  uint64_t proven_bytes = 0;       // of those, in chunks proven by their hash as copied
  std::vector<ByteRange> missing;  // to download, in file order
  std::vector<ProvisionalChunk> provisional;
  bool complete() const { return missing.empty(); }
};

struct SeedResult {
  std::vector<std::string> complete_modules;  // every byte from the install: nothing to fetch
  std::vector<SeededFile> complete_files;
  struct Partial {
    std::string module;
    SeededFile file;
  };
  std::vector<Partial> partial;  // in staging, ranges still to fetch
  uint64_t seeded_bytes = 0;     // taken from the install
  uint64_t missing_bytes = 0;    // left to fetch as ranges
};

// For the modules of `manifest` (format 3) not in `reused`, other than `skip`, that consist of
// one file with chunks: the file built in staging from the install's chunks (where the install's
// own manifest says they are; without one, the install's files at the new version's paths are
// cut now). A module whose file came out complete needs nothing fetched; with `ranges` (the
// service answers range requests) one that holds a chunk proven from the install keeps its
// staged file to be completed by parts; any other (a file rewritten whole since, say) is left to
// download whole, nothing of it staged.
// Nothing for a manifest of an earlier format. Once `*cancel` is set no further file is begun.
SeedResult SeedChangedModules(const PackageManifest& manifest, const std::string& install_dir,
                              const std::string& staging_dir,
                              const std::vector<std::string>& reused, const std::string& skip,
                              bool ranges, const std::atomic<bool>* cancel = nullptr);

// Builds `file` (format 3) as staging_dir\path: a file of its listed size with every chunk the
// seeds hold copied to its place once its bytes, read again, hash to the chunk's SHA-256; the
// other chunks' bytes are written as zeros and listed in `missing`, neighbours merged into one
// range of at most kMaxMissingRange bytes. `previous` (may be empty) is the old file at the same
// path: of a chunk it runs into but does not fill (bytes appended since), what it holds is taken
// as a provisional chunk and only the rest is missing. False when the staged file cannot be
// created or written (nothing then stays of it).
bool SeedFile(const ManifestFile& file, const ChunkSeeds& seeds, const std::string& staging_dir,
              const std::string& previous, SeededFile* out);
