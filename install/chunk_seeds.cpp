// Finding an update's chunks in the earlier install and copying them into staging.
#include "install/chunk_seeds.h"

#include <cstdio>
#include <cstring>
#include <map>

#include "base/file_chunks.h"
#include "base/file_system.h"
#include "base/make_path_dirs.h"
#include "base/two_threads.h"
#include "install/system.h"

namespace {

// The seed file read last, kept open: a new file's chunks mostly come one after another from
// one old file, and opening a file costs more than reading a chunk of it.
class SeedReader {
 public:
  SeedReader() = default;
  ~SeedReader() { Close(); }
  SeedReader(const SeedReader&) = delete;
  SeedReader& operator=(const SeedReader&) = delete;

  // Reads `length` bytes at `offset` of `path` into `bytes`. False when they are not all there.
  bool ReadAt(const std::string& path, uint64_t offset, uint32_t length,
              std::vector<uint8_t>* bytes) {
    if (path != path_) {
      Close();
      file_ = OpenFile(path.c_str(), "rb");
      if (file_ == nullptr) return false;
      path_ = path;
      position_ = 0;
    }
    bytes->resize(length);
    if (offset != position_ && std::fseek(file_, static_cast<long>(offset), SEEK_SET) != 0) {
      Close();
      return false;
    }
    const size_t got = std::fread(bytes->data(), 1, length, file_);
    position_ = offset + got;
    if (got == length) return true;
    Close();
    return false;
  }

  void Close() {
    if (file_ != nullptr) std::fclose(file_);
    file_ = nullptr;
    path_.clear();
  }

 private:
  FILE* file_ = nullptr;
  std::string path_;
  uint64_t position_ = 0;
};

}  // namespace

void ChunkSeeds::AddInstall(const PackageManifest& installed, const std::string& install_dir,
                            const ChunkSizes& sizes, const std::atomic<bool>* cancel) {
  const bool listed = installed.format == kManifestFormat3 && installed.chunk_sizes == sizes;
  for (const ManifestFile& file : installed.files) {
    if (cancel != nullptr && cancel->load()) return;
    const std::string path = install_dir + "\\" + file.path;
    if (listed) {
      // Where the manifest says they are; SeedFile proves each one as it copies it.
      uint64_t size = 0;
      if (RegularFileSize(path.c_str(), &size)) AddListed(path, file.chunks, size);
      continue;
    }
    FileChunks cut;
    if (ChunkFile(path.c_str(), sizes, &cut)) AddListed(path, cut.chunks, cut.size);
  }
}

void ChunkSeeds::AddListed(const std::string& path, const std::vector<ManifestChunk>& chunks,
                           uint64_t valid_bytes) {
  const uint32_t file = static_cast<uint32_t>(paths_.size());
  paths_.push_back(path);
  uint64_t offset = 0;
  for (const ManifestChunk& chunk : chunks) {
    if (offset + chunk.length > valid_bytes) break;
    SeedLocation seed;
    seed.sha256 = chunk.sha256;
    seed.file = file;
    seed.length = chunk.length;
    seed.offset = offset;
    const std::string key(reinterpret_cast<const char*>(chunk.sha256.data()), kSha256Size);
    if (by_hash_.emplace(key, seeds_.size()).second) seeds_.push_back(seed);
    offset += chunk.length;
  }
}

const SeedLocation* ChunkSeeds::Find(const Sha256Digest& sha256, uint32_t length) const {
  const auto found =
      by_hash_.find(std::string(reinterpret_cast<const char*>(sha256.data()), kSha256Size));
  if (found == by_hash_.end()) return nullptr;
  const SeedLocation& seed = seeds_[static_cast<size_t>(found->second)];
  return seed.length == length ? &seed : nullptr;
}

namespace {

// The install's own manifest (not checked again: it only says where chunks may be, and each one
// is proven as it is copied). False when there is none that decodes.
bool ReadInstalledManifest(const std::string& install_dir, PackageManifest* manifest) {
  FILE* in = OpenFile((install_dir + "\\" + kManifestFileName).c_str(), "rb");
  if (in == nullptr) return false;
  std::vector<uint8_t> bytes;
  uint8_t block[1 << 14];
  size_t got = 0;
  while ((got = std::fread(block, 1, sizeof block, in)) > 0) {
    bytes.insert(bytes.end(), block, block + got);
  }
  const bool read = std::ferror(in) == 0;
  std::fclose(in);
  size_t signed_size = 0;
  const uint8_t* signature = nullptr;
  return read && DecodeManifest(bytes.data(), bytes.size(), manifest, &signed_size, &signature);
}

}  // namespace

SeedResult SeedChangedModules(const PackageManifest& manifest, const std::string& install_dir,
                              const std::string& staging_dir,
                              const std::vector<std::string>& reused, const std::string& skip,
                              bool ranges, const std::atomic<bool>* cancel) {
  SeedResult result;
  if (manifest.format != kManifestFormat3) return result;
  // The candidates: modules of one file, not reused whole.
  std::map<std::string, uint64_t> files_of;  // the map type the program has already
  for (const ManifestFile& file : manifest.files) ++files_of[file.module];
  for (const std::string& module : reused) files_of.erase(module);
  files_of.erase(skip);
  std::vector<const ManifestFile*> candidates;
  for (const ManifestFile& file : manifest.files) {
    const auto found = files_of.find(file.module);
    if (found != files_of.end() && found->second == 1 && !file.chunks.empty()) {
      candidates.push_back(&file);
    }
  }
  if (candidates.empty()) return result;
  PackageManifest installed;
  if (!ReadInstalledManifest(install_dir, &installed)) {
    installed = PackageManifest();
    for (const ManifestFile* file : candidates) installed.files.push_back(*file);
  }
  ChunkSeeds seeds;
  seeds.AddInstall(installed, install_dir, manifest.chunk_sizes, cancel);
  // Built on both cores: the lookups only read the seeds, and each file is its own.
  std::vector<SeededFile> built(candidates.size());
  std::vector<char> made(candidates.size(), 0);
  ForEachOnTwoThreads(candidates.size(), 8, [&](size_t i, int) {
    if (cancel != nullptr && cancel->load()) return;
    const ManifestFile& file = *candidates[i];
    made[i] = SeedFile(file, seeds, staging_dir, install_dir + "\\" + file.path, &built[i]);
  });
  for (size_t i = 0; i < candidates.size(); ++i) {
    const ManifestFile* file = candidates[i];
    if (!made[i]) continue;
    SeededFile& seeded = built[i];
    if (seeded.complete()) {
      result.complete_modules.push_back(file->module);
      result.seeded_bytes += seeded.seeded_bytes;
      result.complete_files.push_back(std::move(seeded));
    } else if (ranges && seeded.seeded_bytes > 0) {
      // A file of one chunk grown at its end too: all it has is provisional. (A provisional
      // chunk's bytes count here before they are proven; one that fails its proof is fetched
      // whole, which for such a file is the whole file, as without seeds.)
      result.seeded_bytes += seeded.seeded_bytes;
      result.missing_bytes += seeded.size - seeded.seeded_bytes;
      result.partial.push_back({file->module, std::move(seeded)});
    } else {
      // Downloaded whole, from its first byte: nothing of it may stay.
      DeletePath((staging_dir + "\\" + file->path).c_str());
    }
  }
  return result;
}

bool SeedFile(const ManifestFile& file, const ChunkSeeds& seeds, const std::string& staging_dir,
              const std::string& previous, SeededFile* out) {
  SeededFile result;
  uint64_t previous_size = 0;
  if (previous.empty() || !RegularFileSize(previous.c_str(), &previous_size)) previous_size = 0;
  result.path = file.path;
  result.size = file.size;
  const std::string target = staging_dir + "\\" + file.path;
  // A staged file there may be a seed itself (an interrupted download's): the new one is then
  // written beside and put in its place at the end.
  const bool replacing = PathExists(target.c_str());
  const std::string building = replacing ? target + ".seeding" : target;
  if (!MakePathDirs(target.c_str())) return false;
  FILE* staged = OpenFile(building.c_str(), "wb");
  if (staged == nullptr) return false;
  std::vector<uint8_t> bytes;
  SeedReader reader;
  uint64_t offset = 0;
  bool ok = true;
  for (const ManifestChunk& chunk : file.chunks) {
    const SeedLocation* seed = seeds.Find(chunk.sha256, chunk.length);
    // Every byte taken is hashed again: the install may have changed since it was listed.
    const bool found = seed != nullptr &&
                       reader.ReadAt(seeds.path(seed->file), seed->offset, chunk.length, &bytes) &&
                       Sha256Of(bytes.data(), bytes.size()) == chunk.sha256;
    // The old file at this path ends inside the chunk: what it holds of it is likely the
    // chunk's start (bytes appended since), to be proven once the rest is in.
    const uint32_t taken =
        found || previous_size <= offset || previous_size >= offset + chunk.length
            ? 0
            : static_cast<uint32_t>(previous_size - offset);
    if (found) {
      result.seeded_bytes += chunk.length;
      result.proven_bytes += chunk.length;
    } else if (taken > 0 && reader.ReadAt(previous, offset, taken, &bytes)) {
      bytes.resize(chunk.length, 0);
      result.seeded_bytes += taken;
      result.provisional.push_back({offset, chunk.length, taken, chunk.sha256});
      result.missing.push_back({offset + taken, chunk.length - taken});
    } else {
      bytes.assign(chunk.length, 0);
      ByteRange* last = result.missing.empty() ? nullptr : &result.missing.back();
      if (last != nullptr && last->offset + last->length == offset &&
          uint64_t{last->length} + chunk.length <= kMaxMissingRange) {
        last->length += chunk.length;
      } else {
        result.missing.push_back({offset, chunk.length});
      }
    }
    if (std::fwrite(bytes.data(), 1, bytes.size(), staged) != bytes.size()) {
      ok = false;
      break;
    }
    offset += chunk.length;
  }
  ok = std::fclose(staged) == 0 && ok;
  // The staged file may have been the seed: closed before it is replaced (Windows keeps an open
  // file from being deleted).
  reader.Close();
  if (ok && replacing) ok = DeletePath(target.c_str()) && RenamePath(building.c_str(), target.c_str());
  if (!ok) {
    DeletePath(building.c_str());
    return false;
  }
  *out = std::move(result);
  return true;
}
