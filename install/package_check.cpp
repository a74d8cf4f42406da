// Checking a staged package against its signed manifest.
#include "install/package_check.h"

#include <algorithm>
#include <cstdio>

#include "base/file_system.h"
#include "base/package_manifest.h"
#include "base/sha256.h"
#include "base/signature.h"
#include "base/two_threads.h"
#include "install/staged_hashes.h"

namespace {

// A manifest of the most files a package can have stays well below this.
constexpr uint64_t kManifestMaxBytes = 16u << 20;

bool Fail(PackageCheckFailure* failure, const std::string& file, const char* reason) {
  failure->file = file;
  failure->reason = reason;
  return false;
}

bool ReadManifestFile(const std::string& path, std::vector<uint8_t>* bytes) {
  uint64_t size = 0;
  if (!RegularFileSize(path.c_str(), &size) || size > kManifestMaxBytes) return false;
  FILE* file = OpenFile(path.c_str(), "rb");
  if (file == nullptr) return false;
  bytes->resize(static_cast<size_t>(size));
  const bool read = std::fread(bytes->data(), 1, bytes->size(), file) == bytes->size() &&
                    std::fgetc(file) == EOF;
  std::fclose(file);
  return read;
}

bool OlderThan(const VersionPair& a, const VersionPair& b) {
  return a.Part3 != b.Part3 ? a.Part3 < b.Part3 : a.Part4 < b.Part4;
}

// The staged file's size and hash: from the download's hashing when they can be trusted, else
// read now.
bool HashOf(StagedHashes* hashes, const std::string& path, uint64_t* size, Sha256Digest* digest) {
  if (hashes != nullptr && hashes->Lookup(path, size, digest)) return true;
  return Sha256OfFile(path.c_str(), digest, size);
}

// A staged file's size and hash, once known.
struct StagedHash {
  bool known = false;
  uint64_t size = 0;
  Sha256Digest digest = {};
};

bool Matches(StagedHashes* hashes, const std::string& path, const ManifestFile& listed) {
  uint64_t size = 0;
  Sha256Digest digest;
  return HashOf(hashes, path, &size, &digest) && size == listed.size && digest == listed.sha256;
}

}  // namespace

bool CheckPackageManifest(const std::string& path, const PackageCheckInput& input,
                          PackageManifest* out, PackageCheckFailure* failure) {
  std::vector<uint8_t> bytes;
  if (!ReadManifestFile(path, &bytes)) return Fail(failure, kManifestFileName, "missing");
  PackageManifest manifest;
  size_t signed_size = 0;
  const uint8_t* signature = nullptr;
  if (!DecodeManifest(bytes.data(), bytes.size(), &manifest, &signed_size, &signature)) {
    return Fail(failure, kManifestFileName, "malformed");
  }
  const Sha256Digest body = Sha256Of(bytes.data(), signed_size);
  bool verified = false;
  for (const uint8_t* key : input.public_keys) {
    verified = verified || (key != nullptr && VerifyP256Signature(key, body, signature));
  }
  if (!verified) return Fail(failure, kManifestFileName, "signature does not verify");
  // The first format has no expiry: anyone answering on the service's addresses could replay a
  // package signed in it for ever.
  if (manifest.format == kManifestFormat1) {
    return Fail(failure, kManifestFileName,
                "of the first format, which has no expiry: sign the package again");
  }
  if (manifest.package_number != input.package_number) {
    return Fail(failure, kManifestFileName, "of another package");
  }
  if (manifest.version.Part3 != input.version.Part3 ||
      manifest.version.Part4 != input.version.Part4) {
    return Fail(failure, kManifestFileName, "of another version");
  }
  if (manifest.expires != 0 && manifest.expires <= input.now) {
    return Fail(failure, kManifestFileName, "expired");
  }
  if (input.has_installed && OlderThan(manifest.version, input.installed)) {
    failure->downgrade = true;
    return Fail(failure, kManifestFileName, "older than the installed version");
  }
  if (input.has_floor && OlderThan(manifest.version, input.floor)) {
    failure->downgrade = true;
    return Fail(failure, kManifestFileName, "older than a version installed before");
  }
  *out = std::move(manifest);
  return true;
}

bool CheckStagedPackage(const PackageCheckInput& input, PackageCheckFailure* failure) {
  PackageManifest manifest;
  if (!CheckPackageManifest(input.staging_dir + "\\" + kManifestFileName, input, &manifest,
                            failure)) {
    return false;
  }

  // The listed files by path, each marked once a staged file matched it.
  std::vector<const ManifestFile*> listed;
  for (const ManifestFile& file : manifest.files) listed.push_back(&file);
  const auto by_path = [](const ManifestFile* a, const ManifestFile* b) { return a->path < b->path; };
  std::sort(listed.begin(), listed.end(), by_path);
  std::vector<bool> matched(listed.size(), false);
  std::vector<FileEntry> staged;
  if (!ListFiles(input.staging_dir, &staged)) return Fail(failure, "", "staging folder unreadable");
  // In name order, so that the file named is the same on every run (pointers: sorting the
  // entries themselves costs the program several kilobytes).
  std::vector<const std::string*> names;
  for (const FileEntry& file : staged) names.push_back(&file.relative);
  std::sort(names.begin(), names.end(),
            [](const std::string* a, const std::string* b) { return *a < *b; });
  // The download's hashes hold only when every file it wrote was written under one name: the
  // staged files other than the installer's own are exactly the paths it wrote. Otherwise a hash
  // may belong to a spelling of a file written over under another, and every file is read anew.
  size_t package_files = 0;
  for (const std::string* name : names) {
    package_files += std::find(input.own_files.begin(), input.own_files.end(), *name) ==
                     input.own_files.end();
  }
  StagedHashes* hashes =
      input.hashes != nullptr && input.hashes->PathsSeen() == package_files ? input.hashes
                                                                            : nullptr;
  // Each staged file's listing; the hashes not known from the download read on both cores.
  std::vector<const ManifestFile*> entry_of(names.size(), nullptr);
  std::vector<StagedHash> seen(names.size());
  std::vector<size_t> unread;
  for (size_t i = 0; i < names.size(); ++i) {
    const std::string& name = *names[i];
    if (name == kManifestFileName || name == input.base_archive ||
        std::find(input.own_files.begin(), input.own_files.end(), name) != input.own_files.end()) {
      continue;
    }
    const auto entry = std::lower_bound(
        listed.begin(), listed.end(), name,
        [](const ManifestFile* file, const std::string& path) { return file->path < path; });
    if (entry == listed.end() || (*entry)->path != name) return Fail(failure, name, "not listed");
    entry_of[i] = *entry;
    matched[entry - listed.begin()] = true;
    StagedHash& hash = seen[i];
    hash.known = hashes != nullptr &&
                 hashes->Lookup(input.staging_dir + "\\" + name, &hash.size, &hash.digest);
    if (!hash.known) unread.push_back(i);
  }
  ForEachOnTwoThreads(unread.size(), 2, [&](size_t k, int) {
    StagedHash& hash = seen[unread[k]];
    hash.known = Sha256OfFile((input.staging_dir + "\\" + *names[unread[k]]).c_str(),
                              &hash.digest, &hash.size);
  });
  for (size_t i = 0; i < names.size(); ++i) {
    if (entry_of[i] == nullptr) continue;
    const StagedHash& hash = seen[i];
    if (!hash.known || hash.size != entry_of[i]->size || hash.digest != entry_of[i]->sha256) {
      return Fail(failure, *names[i], "differs from the listed size or hash");
    }
  }
  for (size_t i = 0; i < listed.size(); ++i) {
    if (!matched[i]) return Fail(failure, listed[i]->path, "missing");
  }

  if (!input.base_archive.empty()) {
    if (manifest.base_archive.path != input.base_archive) {
      return Fail(failure, input.base_archive, "not listed");
    }
    if (!Matches(hashes, input.staging_dir + "\\" + input.base_archive, manifest.base_archive)) {
      return Fail(failure, input.base_archive, "differs from the listed size or hash");
    }
  }
  return true;
}
