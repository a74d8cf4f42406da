// Choosing and copying the modules an update reuses.
#include "install/module_reuse.h"

#include <cstdio>
#include <map>

#include "base/file_system.h"
#include "base/make_path_dirs.h"
#include "base/two_threads.h"
#include "install/system.h"

namespace {

constexpr size_t kCopyBlock = 1 << 20;
// Links that fail where the folder is there before the rest is copied without trying.
constexpr int kLinkFailuresTaken = 8;

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

// Hashes `prefix` (what was read of `file` already) and what is left of `file`, with `block`.
bool HashHeld(HeldFile* file, const std::string& prefix, std::vector<uint8_t>* block,
              Sha256Digest* digest, uint64_t* size) {
  Sha256 hash;
  hash.Update(reinterpret_cast<const uint8_t*>(prefix.data()), prefix.size());
  *size = prefix.size();
  for (;;) {
    size_t got = 0;
    if (!file->Read(block->data(), block->size(), &got)) return false;
    if (got == 0) break;
    hash.Update(block->data(), got);
    *size += got;
  }
  *digest = hash.Finish();
  return !hash.failed();
}

// What LinkHeld did.
enum class Link { kMade, kCopy, kFailed };

// Holds `from` so that nobody writes it from now on, then links it at `to`; the hash is taken
// through the hold (`*prefix` holds what was read of it already). kCopy, with no link made, when
// it cannot be held (another program has it open for writing) or is a program or library (a
// running one keeps every name of its file from being deleted, and a staging folder given up
// must go whole); kFailed when the link itself failed.
Link LinkHeld(const std::string& from, const std::string& to, ReusedFile* placed, HeldFile* hold,
              std::string* prefix) {
  if (!hold->Open(from.c_str())) return Link::kCopy;
  char start[2] = {};
  size_t got = 0;
  if (!hold->Read(start, sizeof start, &got) || (got == 2 && start[0] == 'M' && start[1] == 'Z')) {
    hold->Close();
    return Link::kCopy;
  }
  if (!LinkFile(from.c_str(), to.c_str())) {
    hold->Close();
    return Link::kFailed;
  }
  prefix->assign(start, got);
  placed->linked = true;
  placed->held = HeldFile::KeepsWritersOut();
  return Link::kMade;
}

// Puts `from` into staging at `to`: a link while `*links` (failures still taken) is above 0 and
// the volume allows, else a copy. The bytes are hashed either way; a link's through `*hold`,
// which keeps writers out from before the first byte is read.
bool PlaceHashing(const std::string& from, const std::string& to, std::atomic<int>* links,
                  std::vector<uint8_t>* block, ReusedFile* placed, HeldFile* hold) {
  // A link first: in a fresh staging folder it fails only for the first file of each folder (no
  // folder yet). Whatever is there then goes before anything is written: writing into it could
  // write into the install through a link an earlier attempt made.
  std::string prefix;
  Link link = links->load() > 0 ? LinkHeld(from, to, placed, hold, &prefix) : Link::kCopy;
  if (link != Link::kMade) {
    // What cannot be deleted is never written through.
    if (PathExists(to.c_str()) && !DeletePath(to.c_str())) return false;
    if (link == Link::kFailed && MakePathDirs(to.c_str())) {
      link = LinkHeld(from, to, placed, hold, &prefix);
      // Its folder there, its name free: the volume takes no links, or this file none (a link of
      // another kind). After a few such, copies only.
      if (link == Link::kFailed) links->fetch_sub(1);
    }
  }
  if (link == Link::kMade) return HashHeld(hold, prefix, block, &placed->sha256, &placed->size);
  placed->linked = false;
  placed->held = false;
  return CopyHashing(from, to, block, &placed->sha256, &placed->size);
}

// One module's files put into staging, or nothing of it when one does not match.
struct ModuleReuse {
  bool reused = false;
  std::vector<ReusedFile> files;
  std::vector<HeldFile> held;
};

void ReuseModule(const std::vector<const ManifestFile*>& files, const std::string& install_dir,
                 const std::string& staging_dir, std::atomic<int>* links,
                 std::vector<uint8_t>* block, ModuleReuse* out) {
  for (const ManifestFile* file : files) {
    uint64_t size = 0;
    if (!RegularFileSize((install_dir + "\\" + file->path).c_str(), &size) || size != file->size) {
      return;
    }
  }
  for (const ManifestFile* file : files) {
    ReusedFile reused;
    reused.path = file->path;
    HeldFile hold;
    const bool whole =
        PlaceHashing(install_dir + "\\" + file->path, staging_dir + "\\" + file->path, links,
                     block, &reused, &hold) &&
        reused.size == file->size && reused.sha256 == file->sha256;
    out->files.push_back(reused);
    if (hold.is_open()) out->held.push_back(std::move(hold));
    if (!whole) {
      // Downloaded instead, from its first byte: nothing of it may stay.
      out->held.clear();
      for (const ReusedFile& placed : out->files) {
        DeletePath((staging_dir + "\\" + placed.path).c_str());
      }
      out->files.clear();
      return;
    }
  }
  out->reused = true;
}

}  // namespace

ReuseResult ReuseInstalledModules(const PackageManifest& manifest, const std::string& install_dir,
                                  const std::string& staging_dir, const std::string& skip,
                                  const std::atomic<bool>* cancel, bool links) {
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
  std::vector<const std::vector<const ManifestFile*>*> files_of;
  for (const std::string& module : order) files_of.push_back(&by_module[module]);
  // Both cores: each takes the next module not yet taken; the results keep the manifest's order.
  std::vector<ModuleReuse> done(order.size());
  std::vector<uint8_t> blocks[2];  // one copy buffer per thread
  std::atomic<int> linking{links ? kLinkFailuresTaken : 0};
  ForEachOnTwoThreads(order.size(), 8, [&](size_t i, int worker) {
    if (cancel != nullptr && cancel->load()) return;
    std::vector<uint8_t>& block = blocks[worker];
    if (block.empty()) block.resize(kCopyBlock);
    ReuseModule(*files_of[i], install_dir, staging_dir, &linking, &block, &done[i]);
  });
  for (size_t i = 0; i < order.size(); ++i) {
    if (!done[i].reused) continue;
    result.modules.push_back(order[i]);
    for (HeldFile& hold : done[i].held) result.held.push_back(std::move(hold));
    for (ReusedFile& file : done[i].files) {
      result.bytes += file.size;
      result.files.push_back(std::move(file));
    }
  }
  return result;
}
