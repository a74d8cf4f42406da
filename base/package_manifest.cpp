// Encoding and strict decoding of the package manifest.
#include "base/package_manifest.h"

#include <algorithm>
#include <cstring>

#include "base/coding.h"
#include "base/path_rules.h"

namespace {

void PutBytes(std::vector<uint8_t>* out, const void* data, size_t size) {
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  out->insert(out->end(), bytes, bytes + size);
}

void Put16(std::vector<uint8_t>* out, uint16_t value) {
  uint8_t bytes[2];
  EncodeFixed16(bytes, value);
  PutBytes(out, bytes, sizeof bytes);
}

void Put32(std::vector<uint8_t>* out, uint32_t value) {
  uint8_t bytes[4];
  EncodeFixed32(bytes, value);
  PutBytes(out, bytes, sizeof bytes);
}

void Put64(std::vector<uint8_t>* out, uint64_t value) {
  Put32(out, static_cast<uint32_t>(value));
  Put32(out, static_cast<uint32_t>(value >> 32));
}

bool IsTextSafe(const std::string& text) {
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F) return false;
  }
  return true;
}

// A path below the install folder that stays there and that every Windows volume can hold:
// "\\"-separated components, each one ComponentProblem finds nothing wrong with (so no "/", ":",
// "..", device, trailing dot or blank, or character Windows refuses). The installer reads and
// writes these paths in the install and staging folders, so a manifest naming any other path is
// refused whole.
bool IsInstallPathSafe(const std::string& path) {
  if (path.empty()) return false;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('\\', start);
    if (end == std::string::npos) end = path.size();
    if (ComponentProblem(std::string_view(path.data() + start, end - start)) != nullptr) {
      return false;
    }
    start = end + 1;
  }
  return true;
}

// A cursor over untrusted bytes: every read checks what is left first.
class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool Bytes(size_t count, const uint8_t** out) {
    if (size_ - offset_ < count) return false;
    *out = data_ + offset_;
    offset_ += count;
    return true;
  }
  bool U8(uint8_t* value) {
    const uint8_t* p;
    if (!Bytes(1, &p)) return false;
    *value = p[0];
    return true;
  }
  bool U16(uint16_t* value) {
    const uint8_t* p;
    if (!Bytes(2, &p)) return false;
    *value = DecodeFixed16(p);
    return true;
  }
  bool U32(uint32_t* value) {
    const uint8_t* p;
    if (!Bytes(4, &p)) return false;
    *value = DecodeFixed32(p);
    return true;
  }
  bool U64(uint64_t* value) {
    uint32_t low = 0, high = 0;
    if (!U32(&low) || !U32(&high)) return false;
    *value = (static_cast<uint64_t>(high) << 32) | low;
    return true;
  }
  bool Text(size_t length, std::string* text) {
    const uint8_t* p;
    if (!Bytes(length, &p)) return false;
    text->assign(reinterpret_cast<const char*>(p), length);
    return IsTextSafe(*text);
  }
  bool Digest(Sha256Digest* digest) {
    const uint8_t* p;
    if (!Bytes(kSha256Size, &p)) return false;
    std::memcpy(digest->data(), p, kSha256Size);
    return true;
  }
  size_t offset() const { return offset_; }
  size_t left() const { return size_ - offset_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t offset_ = 0;
};

// A path listed twice could be matched by one file with either entry, and so could two that
// differ only in letter case, which Windows takes for one file. (Sorted texts: a hash set costs
// the installer program several kilobytes.)
bool HasRepeatedPath(const std::vector<ManifestFile>& files) {
  std::vector<const std::string*> paths;
  for (const ManifestFile& file : files) paths.push_back(&file.path);
  std::sort(paths.begin(), paths.end(),
            [](const std::string* a, const std::string* b) { return FoldedLess(*a, *b); });
  for (size_t i = 1; i < paths.size(); ++i) {
    if (FoldedEqual(*paths[i], *paths[i - 1])) return true;
  }
  return false;
}

// A file's chunk list as format 3 keeps it: each chunk 1..max bytes, together the file's size.
bool ChunksFit(const ManifestFile& file, const ChunkSizes& sizes) {
  uint64_t total = 0;
  for (const ManifestChunk& chunk : file.chunks) {
    if (chunk.length == 0 || chunk.length > sizes.max) return false;
    total += chunk.length;
  }
  return total == file.size;
}

}  // namespace

bool EncodeManifestBody(const PackageManifest& manifest, std::vector<uint8_t>* body) {
  body->clear();
  // Refuse everything the decoder refuses: a packer must never sign a manifest that every
  // installer then rejects.
  const bool format1 = manifest.format == kManifestFormat1;
  const bool format3 = manifest.format == kManifestFormat3;
  const bool format2 = manifest.format == kManifestFormat2 || format3;  // a module per file
  if ((!format2 && (!format1 || manifest.expires != 0)) ||
      (format3 ? !ChunkSizesValid(manifest.chunk_sizes) ||
                     (manifest.offers & ~kManifestOffersRanges) != 0
               : manifest.offers != 0) ||
      manifest.package_number.empty() || manifest.package_number.size() > kManifestNumberMax ||
      !IsTextSafe(manifest.package_number) || manifest.files.size() > kManifestMaxFiles ||
      manifest.base_archive.path.size() > kManifestBaseNameMax ||
      !IsTextSafe(manifest.base_archive.path) ||
      (!manifest.base_archive.path.empty() && !IsInstallPathSafe(manifest.base_archive.path))) {
    return false;
  }
  size_t chunks = 0;
  for (const ManifestFile& file : manifest.files) {
    if (file.path.empty() || file.path.size() > kManifestPathMax || !IsTextSafe(file.path) ||
        !IsInstallPathSafe(file.path)) {
      return false;
    }
    if (format2 && (file.module.empty() || file.module.size() > kManifestModuleMax ||
                    !IsTextSafe(file.module))) {
      return false;
    }
    if (format3 ? !ChunksFit(file, manifest.chunk_sizes) : !file.chunks.empty()) return false;
    chunks += file.chunks.size();
  }
  if (chunks > kManifestMaxChunks) return false;
  if (HasRepeatedPath(manifest.files)) return false;
  PutBytes(body, kManifestMagic, sizeof kManifestMagic);
  Put16(body, manifest.format);
  body->push_back(static_cast<uint8_t>(manifest.package_number.size()));
  PutBytes(body, manifest.package_number.data(), manifest.package_number.size());
  Put32(body, static_cast<uint32_t>(manifest.version.Part3));
  Put32(body, static_cast<uint32_t>(manifest.version.Part4));
  if (format2) Put64(body, manifest.expires);
  if (format3) {
    body->push_back(manifest.offers);
    Put32(body, manifest.chunk_sizes.min);
    Put32(body, manifest.chunk_sizes.average);
    Put32(body, manifest.chunk_sizes.max);
  }
  Put32(body, static_cast<uint32_t>(manifest.files.size()));
  for (const ManifestFile& file : manifest.files) {
    Put16(body, static_cast<uint16_t>(file.path.size()));
    PutBytes(body, file.path.data(), file.path.size());
    if (format2) {
      body->push_back(static_cast<uint8_t>(file.module.size()));
      PutBytes(body, file.module.data(), file.module.size());
    }
    Put64(body, file.size);
    PutBytes(body, file.sha256.data(), kSha256Size);
    if (format3) {
      Put32(body, static_cast<uint32_t>(file.chunks.size()));
      for (const ManifestChunk& chunk : file.chunks) {
        Put32(body, chunk.length);
        PutBytes(body, chunk.sha256.data(), kSha256Size);
      }
    }
  }
  body->push_back(static_cast<uint8_t>(manifest.base_archive.path.size()));
  if (!manifest.base_archive.path.empty()) {
    PutBytes(body, manifest.base_archive.path.data(), manifest.base_archive.path.size());
    Put64(body, manifest.base_archive.size);
    PutBytes(body, manifest.base_archive.sha256.data(), kSha256Size);
  }
  return true;
}

bool DecodeManifest(const uint8_t* data, size_t size, PackageManifest* manifest,
                    size_t* signed_size, const uint8_t** signature) {
  Reader in(data, size);
  const uint8_t* magic;
  uint16_t format = 0;
  uint8_t number_length = 0;
  if (!in.Bytes(sizeof kManifestMagic, &magic) ||
      std::memcmp(magic, kManifestMagic, sizeof kManifestMagic) != 0 || !in.U16(&format) ||
      format < kManifestFormat1 || format > kManifestFormat3 || !in.U8(&number_length) ||
      number_length == 0 || number_length > kManifestNumberMax) {
    return false;
  }
  const bool format3 = format == kManifestFormat3;
  const bool format2 = format == kManifestFormat2 || format3;  // a module per file
  PackageManifest out;
  out.format = format;
  uint32_t part3 = 0, part4 = 0, count = 0;
  if (!in.Text(number_length, &out.package_number) || !in.U32(&part3) || !in.U32(&part4) ||
      (format2 && !in.U64(&out.expires))) {
    return false;
  }
  if (format3 &&
      (!in.U8(&out.offers) || (out.offers & ~kManifestOffersRanges) != 0 ||
       !in.U32(&out.chunk_sizes.min) || !in.U32(&out.chunk_sizes.average) ||
       !in.U32(&out.chunk_sizes.max) || !ChunkSizesValid(out.chunk_sizes))) {
    return false;
  }
  if (!in.U32(&count) || count > kManifestMaxFiles) return false;
  out.version.Part3 = static_cast<int32_t>(part3);
  out.version.Part4 = static_cast<int32_t>(part4);
  // Each entry takes at least 43 bytes (45 in format 2, 49 in format 3): a count the rest
  // cannot hold reserves nothing.
  if (in.left() / (2 + 1 + (format2 ? 2 : 0) + (format3 ? 4 : 0) + 8 + kSha256Size) < count) {
    return false;
  }
  out.files.resize(count);
  size_t chunks = 0;
  for (ManifestFile& file : out.files) {
    uint16_t length = 0;
    uint8_t module_length = 0;
    if (!in.U16(&length) || length == 0 || length > kManifestPathMax ||
        !in.Text(length, &file.path) || !IsInstallPathSafe(file.path)) {
      return false;
    }
    if (format2 && (!in.U8(&module_length) || module_length == 0 ||
                    module_length > kManifestModuleMax || !in.Text(module_length, &file.module))) {
      return false;
    }
    if (!in.U64(&file.size) || !in.Digest(&file.sha256)) return false;
    uint32_t chunk_count = 0;
    if (!format3) continue;
    // Checked against what is left before anything is reserved for them.
    if (!in.U32(&chunk_count) || chunk_count > kManifestMaxChunks - chunks ||
        in.left() / (4 + kSha256Size) < chunk_count) {
      return false;
    }
    chunks += chunk_count;
    file.chunks.resize(chunk_count);
    for (ManifestChunk& chunk : file.chunks) {
      if (!in.U32(&chunk.length) || !in.Digest(&chunk.sha256)) return false;
    }
    if (!ChunksFit(file, out.chunk_sizes)) return false;
  }
  if (HasRepeatedPath(out.files)) return false;
  uint8_t base_length = 0;
  if (!in.U8(&base_length) || base_length > kManifestBaseNameMax) return false;
  if (base_length > 0 &&
      (!in.Text(base_length, &out.base_archive.path) ||
       !IsInstallPathSafe(out.base_archive.path) || !in.U64(&out.base_archive.size) ||
       !in.Digest(&out.base_archive.sha256))) {
    return false;
  }
  const size_t body = in.offset();
  const uint8_t* sig;
  if (!in.Bytes(kManifestSignatureSize, &sig) || in.left() != 0) return false;
  *manifest = std::move(out);
  *signed_size = body;
  *signature = sig;
  return true;
}
