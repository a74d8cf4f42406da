// Building, signing, writing and checking the manifest of a packed package.
#include "service/package_signing.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <vector>

#include "base/file_chunks.h"
#include "base/sha256.h"
#include "base/signature.h"

namespace fs = std::filesystem;

namespace {

constexpr char kBaseArchiveName[] = "SystemDepend.zip";

bool HashFile(const std::string& path, ManifestFile* file, std::string* error) {
  if (!Sha256OfFile(path.c_str(), &file->sha256, &file->size)) {
    *error = "cannot read " + path + " to hash it";
    return false;
  }
  return true;
}

bool WriteWholeFile(const std::string& path, const std::vector<uint8_t>& bytes,
                    std::string* error) {
  // "x": the manifest never replaces a file of the package.
  FILE* file = std::fopen(path.c_str(), "wbx");
  if (file == nullptr) {
    *error = "cannot create " + path;
    return false;
  }
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  const bool closed = std::fclose(file) == 0;
  if (!written || !closed) {
    *error = "cannot write " + path;
    return false;
  }
  return true;
}

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* bytes) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  bytes->clear();
  uint8_t block[1 << 14];
  size_t got = 0;
  while ((got = std::fread(block, 1, sizeof block, file)) > 0) {
    bytes->insert(bytes->end(), block, block + got);
  }
  const bool ok = std::ferror(file) == 0;
  std::fclose(file);
  return ok;
}

}  // namespace

uint64_t ManifestExpiry(int days, uint64_t at) {
  if (at != 0) return at;
  if (days <= 0) return 0;
  return static_cast<uint64_t>(std::time(nullptr)) + static_cast<uint64_t>(days) * 86400u;
}

bool BuildManifest(const Package& package, const ManifestOptions& options,
                   PackageManifest* manifest, std::string* error) {
  *manifest = PackageManifest();
  manifest->format = options.format;
  manifest->expires = options.expires;
  const bool chunked = options.format == kManifestFormat3;
  if (chunked) {
    if (!ChunkSizesValid(options.chunk_sizes)) {
      *error = "chunk sizes out of their bounds";
      return false;
    }
    manifest->chunk_sizes = options.chunk_sizes;
    manifest->offers = options.offers_ranges ? kManifestOffersRanges : 0;
  }
  manifest->package_number = package.number;
  manifest->version.Part3 = package.version_part3;
  manifest->version.Part4 = package.version_part4;
  for (const PackageModule& module : package.modules) {
    if (module.kind == 'D') continue;  // never downloaded, so never staged
    ManifestFile file;
    file.path = module.folder_part + module.file_part;
    file.module = module.name;
    if (chunked) {
      FileChunks cut;
      if (!ChunkFile(module.source_path.c_str(), options.chunk_sizes, &cut)) {
        *error = "cannot read " + module.source_path + " to hash it";
        return false;
      }
      file.size = cut.size;
      file.sha256 = cut.sha256;
      file.chunks = std::move(cut.chunks);
    } else if (!HashFile(module.source_path, &file, error)) {
      return false;
    }
    manifest->files.push_back(std::move(file));
  }
  if (!package.base_archive_path.empty()) {
    manifest->base_archive.path = kBaseArchiveName;
    if (!HashFile(package.base_archive_path, &manifest->base_archive, error)) return false;
  }
  return true;
}

bool WriteSignedManifest(const Package& package, const SigningKey& key,
                         const ManifestOptions& options, PackageModule* module,
                         std::string* error) {
  PackageManifest manifest;
  if (!BuildManifest(package, options, &manifest, error)) return false;
  std::vector<uint8_t> bytes;
  if (!EncodeManifestBody(manifest, &bytes)) {
    *error = "the package does not fit a manifest (too many files, or a path or module name too "
             "long)";
    return false;
  }
  uint8_t signature[kManifestSignatureSize];
  if (!key.Sign(Sha256Of(bytes.data(), bytes.size()), signature, error)) return false;
  bytes.insert(bytes.end(), signature, signature + sizeof signature);
  const std::string path = (fs::path(package.dir) / kManifestFileName).string();
  if (!WriteWholeFile(path, bytes, error)) return false;

  std::string package_key = package.number;
  if (!package.modules.empty()) package_key = package.modules.front().package_key;
  *module = PackageModule();
  module->package_key = package_key;
  module->name = kManifestFileName;
  // Each version's manifest is its own content, and so its own record.
  SetRecordNumbers(Sha256Of(bytes.data(), bytes.size()), module);
  module->kind = 'F';
  module->file_part = kManifestFileName;
  module->source_path = path;
  module->size = bytes.size();
  return true;
}

bool CheckManifestFile(const std::string& path, const uint8_t* public_key, std::string* error) {
  std::vector<uint8_t> bytes;
  if (!ReadWholeFile(path, &bytes)) {
    *error = "cannot read back " + path;
    return false;
  }
  PackageManifest manifest;
  size_t signed_size = 0;
  const uint8_t* signature = nullptr;
  if (!DecodeManifest(bytes.data(), bytes.size(), &manifest, &signed_size, &signature)) {
    *error = path + " does not decode as a manifest";
    return false;
  }
  if (!VerifyP256Signature(public_key, Sha256Of(bytes.data(), signed_size), signature)) {
    *error = "the signature of " + path + " does not verify with the public key";
    return false;
  }
  return true;
}

bool SignPackageFolder(const std::string& dir, const std::string& key_file,
                       const ManifestOptions& options, std::string* error) {
  SigningKey key;
  if (!SigningKey::ReadFile(key_file, &key, error)) return false;
  Package package;
  if (!LoadPackage(dir, &package, error)) return false;
  // A manifest signed before is replaced, never listed in the new one.
  package.modules.erase(
      std::remove_if(package.modules.begin(), package.modules.end(),
                     [](const PackageModule& m) {
                       return m.folder_part.empty() && m.file_part == kManifestFileName;
                     }),
      package.modules.end());
  const fs::path manifest_path = fs::path(package.dir) / kManifestFileName;
  const fs::path aside = fs::path(package.dir) / "package.manifest.old";
  std::error_code ec;
  // The manifest signed before stays beside the new one until package.json names the new one,
  // so that a signing that fails leaves the folder as it was.
  fs::remove(aside, ec);
  const bool had_manifest = fs::exists(manifest_path, ec);
  if (had_manifest) {
    fs::rename(manifest_path, aside, ec);
    if (ec) {
      *error = "cannot move " + manifest_path.string() + " aside";
      return false;
    }
  }
  const auto put_back = [&] {
    std::error_code ignored;
    fs::remove(manifest_path, ignored);
    if (had_manifest) fs::rename(aside, manifest_path, ignored);
  };
  PackageModule manifest;
  if (!WriteSignedManifest(package, key, options, &manifest, error) ||
      !CheckManifestFile(manifest_path.string(), key.public_key(), error)) {
    put_back();
    return false;
  }
  package.modules.push_back(std::move(manifest));

  const fs::path json = fs::path(package.dir) / "package.json";
  const fs::path fresh = fs::path(package.dir) / "package.json.new";
  {
    std::ofstream out(fresh, std::ios::binary | std::ios::trunc);
    out << PackageJsonText(package);
    out.close();
    if (!out) {
      fs::remove(fresh, ec);
      put_back();
      *error = "cannot write " + fresh.string();
      return false;
    }
  }
  fs::rename(fresh, json, ec);
  if (ec) {
    fs::remove(fresh, ec);
    put_back();
    *error = "cannot replace " + json.string();
    return false;
  }
  fs::remove(aside, ec);
  Package check;
  return LoadPackage(package.dir, &check, error);
}
