// Feeds bytes to the package manifest's decoder, as an installer reads the staged
// "package.manifest". A manifest it accepts must encode back to exactly its signed part (so the
// signature covers everything the installer acts on), every path and name in it must be within
// its limit and free of control characters, and every chunk list must cover its file exactly;
// anything else, or a read past the input, is a fault.
// With QB_FUZZ_WRITE_SEEDS=<folder> the program writes seed inputs there and ends.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include "base/package_manifest.h"
#include "fuzz/seeds.h"

namespace {

Sha256Digest DigestFilledWith(uint8_t value) {
  Sha256Digest digest;
  digest.fill(value);
  return digest;
}

std::string Signed(const PackageManifest& manifest) {
  std::vector<uint8_t> body;
  if (!EncodeManifestBody(manifest, &body)) std::abort();
  std::string out(body.begin(), body.end());
  out.append(kManifestSignatureSize, '\x5A');
  return out;
}

std::vector<std::string> Seeds() {
  PackageManifest small;
  small.format = kManifestFormat1;
  small.package_number = "100201";
  small.version.Part3 = 5;
  small.version.Part4 = 17;
  small.files.push_back({"quillbank ix.exe", 123456, DigestFilledWith(1), ""});
  small.files.push_back({"data\\quotes.dat", 0, DigestFilledWith(2), ""});
  small.files.push_back({"\xca\xfd\xbe\xdd\\a.ini", 70000, DigestFilledWith(3), ""});
  small.base_archive = {"base.zip", 1 << 20, DigestFilledWith(4), ""};

  PackageManifest no_base = small;
  no_base.base_archive = ManifestFile();

  PackageManifest limits;
  limits.package_number = std::string(kManifestNumberMax, '9');
  limits.version.Part3 = -1;
  limits.files.push_back({std::string(kManifestPathMax, 'p'), ~0ull, DigestFilledWith(5), ""});
  limits.base_archive = {std::string(kManifestBaseNameMax, 'b'), 0, DigestFilledWith(6), ""};

  // Paths one byte apart, so that a repeated path is one mutation away.
  PackageManifest near_twins;
  near_twins.package_number = "100201";
  near_twins.files.push_back({"a\\1.dat", 1, DigestFilledWith(7), ""});
  near_twins.files.push_back({"a\\2.dat", 1, DigestFilledWith(7), ""});

  limits.files[0].module = std::string(kManifestModuleMax, 'm');
  limits.expires = ~0ull;
  near_twins.files[0].module = "a";
  near_twins.files[1].module = "a";

  // Format 2: the same files, each with its module, and an expiry.
  PackageManifest small2 = small;
  small2.format = kManifestFormat2;
  small2.expires = 1765000000;
  for (ManifestFile& file : small2.files) file.module = "core";

  // Format 3: small chunk sizes, so that chunk lists of several entries stay small.
  PackageManifest small3 = small2;
  small3.format = kManifestFormat3;
  small3.offers = kManifestOffersRanges;
  small3.chunk_sizes = {64, 256, 1024};
  small3.files[0].size = 1500;
  small3.files[0].chunks = {{1000, DigestFilledWith(8)}, {300, DigestFilledWith(9)},
                            {200, DigestFilledWith(10)}};
  small3.files[1].size = 0;
  small3.files[2].size = 7;
  small3.files[2].chunks = {{7, DigestFilledWith(11)}};

  PackageManifest empty;
  empty.package_number = "1";
  return {Signed(small),      Signed(small2),     Signed(small3), Signed(no_base),
          Signed(limits),     Signed(near_twins), Signed(empty)};
}

bool IsPlainText(const std::string& text, size_t max) {
  if (text.size() > max) return false;
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  WriteSeedsIfAsked(Seeds);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Exactly the input on the heap, so that a read past it shows.
  const std::vector<uint8_t> input(data, data + size);
  PackageManifest manifest;
  size_t signed_size = 0;
  const uint8_t* signature = nullptr;
  if (!DecodeManifest(input.data(), input.size(), &manifest, &signed_size, &signature)) return 0;

  if (signed_size + kManifestSignatureSize != input.size()) std::abort();
  if (signature != input.data() + signed_size) std::abort();
  std::vector<uint8_t> body;
  if (!EncodeManifestBody(manifest, &body)) std::abort();
  if (body.size() != signed_size || std::memcmp(body.data(), input.data(), signed_size) != 0) {
    std::abort();
  }

  if (manifest.package_number.empty() ||
      !IsPlainText(manifest.package_number, kManifestNumberMax)) {
    std::abort();
  }
  if (manifest.files.size() > kManifestMaxFiles) std::abort();
  if (manifest.format == kManifestFormat1 && manifest.expires != 0) std::abort();
  std::unordered_set<std::string> seen;
  size_t chunks = 0;
  for (const ManifestFile& file : manifest.files) {
    if (file.path.empty() || !IsPlainText(file.path, kManifestPathMax)) std::abort();
    if (!seen.insert(file.path).second) std::abort();
    // Formats 2 and 3 name a module for every file, format 1 for none.
    if (manifest.format != kManifestFormat1
            ? file.module.empty() || !IsPlainText(file.module, kManifestModuleMax)
            : !file.module.empty()) {
      std::abort();
    }
    // Format 3's chunks cover their file exactly, each within the largest chunk size.
    uint64_t covered = 0;
    for (const ManifestChunk& chunk : file.chunks) {
      if (chunk.length == 0 || chunk.length > manifest.chunk_sizes.max) std::abort();
      covered += chunk.length;
    }
    if (manifest.format == kManifestFormat3 ? covered != file.size : !file.chunks.empty()) {
      std::abort();
    }
    chunks += file.chunks.size();
  }
  if (chunks > kManifestMaxChunks) std::abort();
  if (manifest.format != kManifestFormat3 && manifest.offers != 0) std::abort();
  if (!IsPlainText(manifest.base_archive.path, kManifestBaseNameMax)) std::abort();
  return 0;
}
