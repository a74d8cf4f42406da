// Choosing and copying the modules an update reuses.
#include "install/module_reuse.h"

#include <cstdio>
#include <map>

#include "base/file_system.h"
#include "base/make_path_dirs.h"
#include "install/system.h"

namespace {

constexpr size_t kCopyBlock = 1 << 20;

// Copies `from` to `to`, hashing what is written. False when either side fails.
bool CopyHashing(const std::string& from, const std::string& to, std::vector<uint8_t>* block,
                 Sha256Digest* digest, uint64_t* size) {
  if (!MakePathDirs(to.c_str())) return false;
  FILE* in = OpenFile(from.c_str(), "rb");
  if (in == nullptr) return false;
  FILE* out = OpenFile(to.c_str(), "wb");
  if (out == nullptr) {
    std::fclose(in);
    return false;
  }
  Sha256 hash;
  bool ok = true;
  *size = 0;
  for (;;) {
    const size_t got = std::fread(block->data(), 1, block->size(), in);
    if (got == 0) break;
    hash.Update(block->data(), got);
    *size += got;
    if (std::fwrite(block->data(), 1, got, out) != got) {
      ok = false;
      break;
    }
  }
  ok = ok && std::ferror(in) == 0;
  std::fclose(in);
  ok = std::fclose(out) == 0 && ok;
  *digest = hash.Finish();
  return ok && !hash.failed();
}

}  // namespace

ReuseResult ReuseInstalledModules(const PackageManifest& manifest, const std::string& install_dir,
                                  const std::string& staging_dir, const std::string& skip,
                                  const std::atomic<bool>* cancel) {
  ReuseResult result;
  if (manifest.format == kManifestFormat1) return result;  // no modules named
  // The files of each module, modules in the order they first appear.
  std::vector<std::string> order;
  std::map<std::string, std::vector<const ManifestFile*>> by_module;
  for (const ManifestFile& file : manifest.files) {
    if (file.module == skip) continue;
    auto& files = by_module[file.module];
    if (files.empty()) order.push_back(file.module);
    files.push_back(&file);
  }
  result.modules_listed = order.size();
  std::vector<uint8_t> block(kCopyBlock);
  for (const std::string& module : order) {
    if (cancel != nullptr && cancel->load()) break;
    const std::vector<const ManifestFile*>& files = by_module[module];
    bool sizes_match = true;
    for (const ManifestFile* file : files) {
      uint64_t size = 0;
      sizes_match = sizes_match &&
                    RegularFileSize((install_dir + "\\" + file->path).c_str(), &size) &&
                    size == file->size;
    }
    if (!sizes_match) continue;
    std::vector<ReusedFile> copied;
    bool whole = true;
    for (const ManifestFile* file : files) {
      ReusedFile reused;
      reused.path = file->path;
      const std::string target = staging_dir + "\\" + file->path;
      whole = CopyHashing(install_dir + "\\" + file->path, target, &block, &reused.sha256,
                          &reused.size) &&
              reused.size == file->size && reused.sha256 == file->sha256;
      copied.push_back(reused);
      if (!whole) break;
    }
    if (!whole) {
      // Downloaded instead, from its first byte: nothing of it may stay.
      for (const ReusedFile& file : copied) DeletePath((staging_dir + "\\" + file.path).c_str());
      continue;
    }
    result.modules.push_back(module);
    for (ReusedFile& file : copied) {
      result.bytes += file.size;
      result.files.push_back(std::move(file));
    }
  }
  return result;
}
