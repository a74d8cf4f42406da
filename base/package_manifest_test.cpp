// The package manifest's byte layout and its strict decoder: golden bytes, round trips, and the
// refusal of every cut, extra byte, out-of-range length, unsafe path and oversized file count.
#include "base/package_manifest.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "base/testing/hex.h"

// The largest single allocation while a test watches, to show that a file count is not trusted
// before the bytes that would back it have been seen. Every form of new and delete is replaced
// so that allocation and release always meet in malloc and free.
namespace {
std::atomic<bool> g_watching{false};
std::atomic<size_t> g_largest{0};

void* Allocate(size_t size) {
  if (g_watching.load()) {
    size_t seen = g_largest.load();
    while (size > seen && !g_largest.compare_exchange_weak(seen, size)) {
    }
  }
  return std::malloc(size == 0 ? 1 : size);
}
}  // namespace

// GCC sees the replaced delete inlined where its built-in new is assumed and warns of a
// mismatch; here both sides are malloc and free.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(size_t size) {
  if (void* p = Allocate(size)) return p;
  throw std::bad_alloc();
}
void* operator new[](size_t size) {
  if (void* p = Allocate(size)) return p;
  throw std::bad_alloc();
}
void* operator new(size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace {

Sha256Digest DigestFilledWith(uint8_t value) {
  Sha256Digest digest;
  digest.fill(value);
  return digest;
}

// A small manifest of format 1 and its bytes, field by field.
PackageManifest SmallManifest() {
  PackageManifest manifest;
  manifest.format = kManifestFormat1;
  manifest.package_number = "100201";
  manifest.version.Part3 = 5;
  manifest.version.Part4 = -2;
  manifest.files.push_back({"bin\\a.exe", 0x0102030405060708ull, DigestFilledWith(0x11), ""});
  manifest.base_archive = {"base.zip", 300, DigestFilledWith(0x22), ""};
  return manifest;
}

const char kSmallManifestBody[] =
    "51 42 50 4D"                 // "QBPM"
    "01 00"                       // format 1
    "06 31 30 30 32 30 31"        // "100201"
    "05 00 00 00"                 // version part 3: 5
    "FE FF FF FF"                 // version part 4: -2
    "01 00 00 00"                 // one file
    "09 00 62 69 6E 5C 61 2E 65 78 65"  // "bin\a.exe"
    "08 07 06 05 04 03 02 01"     // its size
    "1111111111111111111111111111111111111111111111111111111111111111"
    "08 62 61 73 65 2E 7A 69 70"  // base archive "base.zip"
    "2C 01 00 00 00 00 00 00"     // its size, 300
    "2222222222222222222222222222222222222222222222222222222222222222";

// The same in format 2: an expiry, and the module of each file.
PackageManifest SmallManifest2() {
  PackageManifest manifest = SmallManifest();
  manifest.format = kManifestFormat2;
  manifest.expires = 0x0000000180000001ull;
  manifest.files[0].module = "core";
  return manifest;
}

const char kSmallManifest2Body[] =
    "51 42 50 4D"                 // "QBPM"
    "02 00"                       // format 2
    "06 31 30 30 32 30 31"        // "100201"
    "05 00 00 00"                 // version part 3: 5
    "FE FF FF FF"                 // version part 4: -2
    "01 00 00 80 01 00 00 00"     // expires
    "01 00 00 00"                 // one file
    "09 00 62 69 6E 5C 61 2E 65 78 65"  // "bin\a.exe"
    "04 63 6F 72 65"              // of module "core"
    "08 07 06 05 04 03 02 01"     // its size
    "1111111111111111111111111111111111111111111111111111111111111111"
    "08 62 61 73 65 2E 7A 69 70"  // base archive "base.zip"
    "2C 01 00 00 00 00 00 00"     // its size, 300
    "2222222222222222222222222222222222222222222222222222222222222222";

// The same in format 3: the range offer, the chunk sizes and each file's chunks.
PackageManifest SmallManifest3() {
  PackageManifest manifest = SmallManifest2();
  manifest.format = kManifestFormat3;
  manifest.offers = kManifestOffersRanges;
  manifest.chunk_sizes = {64, 256, 1024};
  manifest.files[0].size = 300;
  manifest.files[0].chunks = {{256, DigestFilledWith(0x33)}, {44, DigestFilledWith(0x44)}};
  return manifest;
}

const char kSmallManifest3Body[] =
    "51 42 50 4D"                 // "QBPM"
    "03 00"                       // format 3
    "06 31 30 30 32 30 31"        // "100201"
    "05 00 00 00"                 // version part 3: 5
    "FE FF FF FF"                 // version part 4: -2
    "01 00 00 80 01 00 00 00"     // expires
    "01"                          // offers range requests
    "40 00 00 00 00 01 00 00 00 04 00 00"  // chunk sizes 64 / 256 / 1024
    "01 00 00 00"                 // one file
    "09 00 62 69 6E 5C 61 2E 65 78 65"  // "bin\a.exe"
    "04 63 6F 72 65"              // of module "core"
    "2C 01 00 00 00 00 00 00"     // its size, 300
    "1111111111111111111111111111111111111111111111111111111111111111"
    "02 00 00 00"                 // two chunks
    "00 01 00 00"                 // 256 bytes
    "3333333333333333333333333333333333333333333333333333333333333333"
    "2C 00 00 00"                 // 44 bytes
    "4444444444444444444444444444444444444444444444444444444444444444"
    "08 62 61 73 65 2E 7A 69 70"  // base archive "base.zip"
    "2C 01 00 00 00 00 00 00"     // its size, 300
    "2222222222222222222222222222222222222222222222222222222222222222";

// Body plus a stand-in signature: the decoder only separates the signature, it does not check it.
std::vector<uint8_t> Signed(std::vector<uint8_t> body) {
  for (size_t i = 0; i < kManifestSignatureSize; ++i) body.push_back(static_cast<uint8_t>(0xA0 + i));
  return body;
}

bool Decodes(const std::vector<uint8_t>& data, PackageManifest* manifest = nullptr) {
  PackageManifest ignored;
  size_t signed_size = 0;
  const uint8_t* signature = nullptr;
  return DecodeManifest(data.data(), data.size(), manifest != nullptr ? manifest : &ignored,
                        &signed_size, &signature);
}

// The header of a manifest for package "1", version 0.0, announcing `count` files; tests append
// the rest.
std::vector<uint8_t> Header(uint32_t count) {
  std::vector<uint8_t> out = HexBytes("51 42 50 4D 01 00 01 31 00000000 00000000");
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(count >> (8 * i)));
  return out;
}

// One file entry with a path of raw bytes.
void AppendFile(std::vector<uint8_t>* out, const std::string& path) {
  out->push_back(static_cast<uint8_t>(path.size()));
  out->push_back(static_cast<uint8_t>(path.size() >> 8));
  out->insert(out->end(), path.begin(), path.end());
  out->insert(out->end(), 8 + kSha256Size, 0x33);
}

// Header(files) + the files + no base archive + signature.
std::vector<uint8_t> WithFiles(const std::vector<std::string>& paths) {
  std::vector<uint8_t> out = Header(static_cast<uint32_t>(paths.size()));
  for (const std::string& path : paths) AppendFile(&out, path);
  out.push_back(0);
  return Signed(out);
}

void ExpectSameFile(const ManifestFile& a, const ManifestFile& b) {
  EXPECT_EQ(a.path, b.path);
  EXPECT_EQ(a.module, b.module);
  EXPECT_EQ(a.size, b.size);
  EXPECT_EQ(a.sha256, b.sha256);
}

TEST(PackageManifestTest, FormatTwoHasItsGoldenBytes) {
  std::vector<uint8_t> body;
  ASSERT_TRUE(EncodeManifestBody(SmallManifest2(), &body));
  const std::vector<uint8_t> golden = HexBytes(kSmallManifest2Body);
  ASSERT_EQ(golden.size(), 4u + 2 + 7 + 4 + 4 + 8 + 4 + 11 + 5 + 8 + 32 + 9 + 8 + 32);
  EXPECT_EQ(HexText(body.data(), body.size()), HexText(golden.data(), golden.size()));
  PackageManifest decoded;
  ASSERT_TRUE(Decodes(Signed(golden), &decoded));
  EXPECT_EQ(decoded.format, kManifestFormat2);
  EXPECT_EQ(decoded.expires, 0x0000000180000001ull);
  ASSERT_EQ(decoded.files.size(), 1u);
  ExpectSameFile(decoded.files[0], SmallManifest2().files[0]);
  ExpectSameFile(decoded.base_archive, SmallManifest2().base_archive);
}

TEST(PackageManifestTest, FormatThreeHasItsGoldenBytes) {
  std::vector<uint8_t> body;
  ASSERT_TRUE(EncodeManifestBody(SmallManifest3(), &body));
  const std::vector<uint8_t> golden = HexBytes(kSmallManifest3Body);
  EXPECT_EQ(HexText(body.data(), body.size()), HexText(golden.data(), golden.size()));
  PackageManifest decoded;
  ASSERT_TRUE(Decodes(Signed(golden), &decoded));
  EXPECT_EQ(decoded.format, kManifestFormat3);
  EXPECT_EQ(decoded.offers, kManifestOffersRanges);
  EXPECT_TRUE(decoded.chunk_sizes == (ChunkSizes{64, 256, 1024}));
  ASSERT_EQ(decoded.files.size(), 1u);
  ExpectSameFile(decoded.files[0], SmallManifest3().files[0]);
  ASSERT_EQ(decoded.files[0].chunks.size(), 2u);
  EXPECT_EQ(decoded.files[0].chunks[1].length, 44u);
  EXPECT_EQ(decoded.files[0].chunks[1].sha256, DigestFilledWith(0x44));
}

// A chunk list is held to its file on both sides: lengths 1..max that add up to the size, sizes
// a cutter can use, no offer not known, no more chunks than the bytes left can hold; and only
// format 3 carries any of it.
TEST(PackageManifestTest, FormatThreeChunkListsAreHeldToTheirFile) {
  std::vector<uint8_t> body;
  const auto encodes = [&](const PackageManifest& m) { return EncodeManifestBody(m, &body); };
  PackageManifest m = SmallManifest3();
  ASSERT_TRUE(encodes(m));
  m.files[0].chunks[1].length = 45;  // 301 bytes for a file of 300
  EXPECT_FALSE(encodes(m));
  m = SmallManifest3();
  m.files[0].chunks = {{300, DigestFilledWith(1)}};
  EXPECT_TRUE(encodes(m));
  m.files[0].size = 2000;
  m.files[0].chunks = {{1000, DigestFilledWith(1)}, {1000, DigestFilledWith(2)}};
  EXPECT_TRUE(encodes(m));
  m.files[0].chunks = {{1025, DigestFilledWith(1)}, {975, DigestFilledWith(2)}};  // past max
  EXPECT_FALSE(encodes(m));
  m.files[0].chunks = {{0, DigestFilledWith(1)}, {2000, DigestFilledWith(2)}};
  EXPECT_FALSE(encodes(m));
  m = SmallManifest3();
  m.files[0].size = 0;
  m.files[0].chunks.clear();  // an empty file has no chunk
  EXPECT_TRUE(encodes(m));
  m = SmallManifest3();
  m.chunk_sizes = {64, 300, 1024};
  EXPECT_FALSE(encodes(m));
  m = SmallManifest3();
  m.offers = 2;
  EXPECT_FALSE(encodes(m));
  // Chunks and offers belong to format 3 alone.
  m = SmallManifest3();
  m.format = kManifestFormat2;
  EXPECT_FALSE(encodes(m));
  m.files[0].chunks.clear();
  EXPECT_FALSE(encodes(m));
  m.offers = 0;
  EXPECT_TRUE(encodes(m));

  // The decoder, on bytes no encoder wrote.
  const std::vector<uint8_t> golden = HexBytes(kSmallManifest3Body);
  ASSERT_TRUE(Decodes(Signed(golden)));
  const size_t offers = 4 + 2 + 7 + 4 + 4 + 8;
  const size_t sizes = offers + 1;
  const size_t chunk_count = sizes + 12 + 4 + 11 + 5 + 8 + 32;
  const size_t second_length = chunk_count + 4 + 4 + 32;
  auto patched = [&](size_t at, std::vector<uint8_t> bytes) {
    std::vector<uint8_t> data = golden;
    std::copy(bytes.begin(), bytes.end(), data.begin() + static_cast<std::ptrdiff_t>(at));
    return Signed(data);
  };
  EXPECT_FALSE(Decodes(patched(offers, {0x03})));
  EXPECT_FALSE(Decodes(patched(sizes, {0x00, 0x01, 0x00, 0x00})));          // min = average
  EXPECT_FALSE(Decodes(patched(sizes + 8, {0x00, 0x00, 0x80, 0x00})));      // max 8 MiB
  EXPECT_FALSE(Decodes(patched(chunk_count, {0x03, 0x00, 0x00, 0x00})));    // one too many
  EXPECT_FALSE(Decodes(patched(chunk_count, {0xFF, 0xFF, 0xFF, 0x7F})));    // nothing reserved
  EXPECT_FALSE(Decodes(patched(chunk_count, {0x01, 0x00, 0x00, 0x00})));    // 256 of 300
  EXPECT_FALSE(Decodes(patched(second_length, {0x2D, 0x00, 0x00, 0x00})));  // 301 of 300
}

// Format 1, as the packers before format 2 signed it, is still read.
TEST(PackageManifestTest, SmallManifestHasItsGoldenBytes) {
  std::vector<uint8_t> body;
  ASSERT_TRUE(EncodeManifestBody(SmallManifest(), &body));
  const std::vector<uint8_t> golden = HexBytes(kSmallManifestBody);
  ASSERT_EQ(golden.size(), 4u + 2 + 7 + 4 + 4 + 4 + 11 + 8 + 32 + 9 + 8 + 32);
  EXPECT_EQ(HexText(body.data(), body.size()), HexText(golden.data(), golden.size()));

  const std::vector<uint8_t> data = Signed(golden);
  PackageManifest decoded;
  size_t signed_size = 0;
  const uint8_t* signature = nullptr;
  ASSERT_TRUE(DecodeManifest(data.data(), data.size(), &decoded, &signed_size, &signature));
  EXPECT_EQ(signed_size, golden.size());
  EXPECT_EQ(signature, data.data() + golden.size());
  EXPECT_EQ(decoded.package_number, "100201");
  EXPECT_EQ(decoded.format, kManifestFormat1);
  EXPECT_EQ(decoded.expires, 0u);
  EXPECT_EQ(decoded.version.Part3, 5);
  EXPECT_EQ(decoded.version.Part4, -2);
  ASSERT_EQ(decoded.files.size(), 1u);
  ExpectSameFile(decoded.files[0], SmallManifest().files[0]);
  ExpectSameFile(decoded.base_archive, SmallManifest().base_archive);
}

TEST(PackageManifestTest, RoundTripsWithAndWithoutABaseArchive) {
  PackageManifest manifest;
  manifest.package_number = "1234567890";  // the longest number
  manifest.version.Part3 = 0x7FFFFFFF;
  manifest.version.Part4 = -0x7FFFFFFF - 1;
  manifest.files.push_back({"quillbank ix.exe", 0, DigestFilledWith(1), ""});
  // A GBK folder name: bytes above 0x7F are path text, not control characters.
  manifest.files.push_back({"\xca\xfd\xbe\xdd\\quotes.dat", 0xFFFFFFFFFFFFFFFFull,
                            DigestFilledWith(2), ""});
  manifest.files.push_back({std::string(kManifestPathMax, 'p'), 65536, DigestFilledWith(3), ""});
  manifest.base_archive = {std::string(kManifestBaseNameMax, 'b'), 1ull << 40,
                           DigestFilledWith(4), ""};

  for (int run = 0; run < 4; ++run) {
    const bool with_base = run % 2 == 0;
    const bool format2 = run >= 2;
    SCOPED_TRACE(with_base ? "with a base archive" : "without a base archive");
    SCOPED_TRACE(format2 ? "format 2" : "format 1");
    PackageManifest original = manifest;
    if (!with_base) original.base_archive = ManifestFile();
    original.format = format2 ? kManifestFormat2 : kManifestFormat1;
    if (format2) {
      original.expires = ~0ull;
      original.files[0].module = "terminal";
      original.files[1].module = "\xca\xfd\xbe\xdd";
      original.files[2].module = std::string(kManifestModuleMax, 'm');
    }
    std::vector<uint8_t> body;
    ASSERT_TRUE(EncodeManifestBody(original, &body));
    const std::vector<uint8_t> data = Signed(body);

    PackageManifest decoded;
    size_t signed_size = 0;
    const uint8_t* signature = nullptr;
    ASSERT_TRUE(DecodeManifest(data.data(), data.size(), &decoded, &signed_size, &signature));
    EXPECT_EQ(signed_size, body.size());
    EXPECT_EQ(signature, data.data() + body.size());
    EXPECT_EQ(decoded.package_number, original.package_number);
    EXPECT_EQ(decoded.version.Part3, original.version.Part3);
    EXPECT_EQ(decoded.version.Part4, original.version.Part4);
    ASSERT_EQ(decoded.files.size(), 3u);
    for (size_t i = 0; i < 3; ++i) ExpectSameFile(decoded.files[i], original.files[i]);
    ExpectSameFile(decoded.base_archive, original.base_archive);
    EXPECT_EQ(decoded.format, original.format);
    EXPECT_EQ(decoded.expires, original.expires);

    // Encoding what was decoded gives the signed bytes back.
    std::vector<uint8_t> again;
    ASSERT_TRUE(EncodeManifestBody(decoded, &again));
    EXPECT_EQ(again, body);
  }

  // No files at all is a valid manifest too.
  PackageManifest empty;
  empty.package_number = "7";
  std::vector<uint8_t> body;
  ASSERT_TRUE(EncodeManifestBody(empty, &body));
  PackageManifest decoded;
  ASSERT_TRUE(Decodes(Signed(body), &decoded));
  EXPECT_TRUE(decoded.files.empty());
  EXPECT_TRUE(decoded.base_archive.path.empty());
}

TEST(PackageManifestTest, EveryCutAndATrailingByteAreRefused) {
  for (int run = 0; run < 4; ++run) {
    const bool with_base = run % 2 == 0;
    PackageManifest manifest = run >= 2 ? SmallManifest2() : SmallManifest();
    manifest.files.push_back({"data\\b.dat", 7, DigestFilledWith(5), run >= 2 ? "data" : ""});
    if (!with_base) manifest.base_archive = ManifestFile();
    std::vector<uint8_t> body;
    ASSERT_TRUE(EncodeManifestBody(manifest, &body));
    const std::vector<uint8_t> data = Signed(body);
    ASSERT_TRUE(Decodes(data));

    for (size_t size = 0; size < data.size(); ++size) {
      // A copy of exactly `size` bytes, so that the sanitizers see any read past it.
      const std::vector<uint8_t> cut(data.begin(), data.begin() + static_cast<ptrdiff_t>(size));
      EXPECT_FALSE(Decodes(cut)) << "cut to " << size << " of " << data.size() << " bytes";
    }
    std::vector<uint8_t> longer = data;
    longer.push_back(0);
    EXPECT_FALSE(Decodes(longer));
  }
}

TEST(PackageManifestTest, BadMagicFormatAndLengthsAreRefused) {
  const std::vector<uint8_t> good = Signed(HexBytes(kSmallManifestBody));
  ASSERT_TRUE(Decodes(good));

  auto changed = [&](size_t offset, uint8_t value) {
    std::vector<uint8_t> out = good;
    out[offset] = value;
    return out;
  };
  EXPECT_FALSE(Decodes(changed(0, 'q')));  // magic
  EXPECT_FALSE(Decodes(changed(3, 'X')));
  EXPECT_FALSE(Decodes(changed(4, 0)));  // format 0
  EXPECT_FALSE(Decodes(changed(4, 3)));  // format 3
  EXPECT_FALSE(Decodes(changed(5, 1)));  // format 0x101

  // Number lengths 0 and 11, with the bytes present for 11.
  std::vector<uint8_t> no_number = HexBytes("51 42 50 4D 01 00 00");
  no_number.insert(no_number.end(), 12, 0);
  no_number.push_back(0);
  EXPECT_FALSE(Decodes(Signed(no_number)));
  std::vector<uint8_t> long_number = HexBytes("51 42 50 4D 01 00 0B");
  long_number.insert(long_number.end(), 11, '1');
  long_number.insert(long_number.end(), 12, 0);
  long_number.push_back(0);
  EXPECT_FALSE(Decodes(Signed(long_number)));
  std::vector<uint8_t> ten_digits = HexBytes("51 42 50 4D 01 00 0A");
  ten_digits.insert(ten_digits.end(), 10, '1');
  ten_digits.insert(ten_digits.end(), 12, 0);
  ten_digits.push_back(0);
  EXPECT_TRUE(Decodes(Signed(ten_digits)));

  // Path lengths 0 and 159 (one over the limit) against 158.
  EXPECT_FALSE(Decodes(WithFiles({""})));
  EXPECT_FALSE(Decodes(WithFiles({std::string(kManifestPathMax + 1, 'p')})));
  EXPECT_TRUE(Decodes(WithFiles({std::string(kManifestPathMax, 'p')})));

  // A base archive name one over its limit.
  std::vector<uint8_t> long_base = Header(0);
  long_base.push_back(static_cast<uint8_t>(kManifestBaseNameMax + 1));
  long_base.insert(long_base.end(), kManifestBaseNameMax + 1, 'b');
  long_base.insert(long_base.end(), 8 + kSha256Size, 0);
  EXPECT_FALSE(Decodes(Signed(long_base)));
}

TEST(PackageManifestTest, UnsafeOrRepeatedPathsAreRefused) {
  EXPECT_TRUE(Decodes(WithFiles({"a\\b.dat", "a\\c.dat"})));
  EXPECT_FALSE(Decodes(WithFiles({"a\\b.dat", "a\\b.dat"})));
  EXPECT_FALSE(Decodes(WithFiles({"a\\b.dat", "x", "a\\b.dat"})));

  for (char bad : {'\0', '\t', '\n', '\r', '\x1f', '\x7f'}) {
    SCOPED_TRACE(static_cast<int>(bad));
    EXPECT_FALSE(Decodes(WithFiles({std::string("a\\b") + bad + ".dat"})));
    EXPECT_FALSE(Decodes(WithFiles({std::string(1, bad)})));
  }

  // A path that would leave the install folder, or name a drive, a stream or a device.
  for (const char* leaves : {"..\\x.dat", "a\\..\\..\\x.dat", "a\\. .\\x", "\\x.dat", "a\\\\x",
                             "a\\", "C:x.dat", "a.dat:stream", "a/../x.dat", "a\\nul.txt", "CON"}) {
    SCOPED_TRACE(leaves);
    EXPECT_FALSE(Decodes(WithFiles({leaves})));
    PackageManifest manifest = SmallManifest();
    manifest.files[0].path = leaves;
    std::vector<uint8_t> body;
    EXPECT_FALSE(EncodeManifestBody(manifest, &body));
  }
  EXPECT_TRUE(Decodes(WithFiles({"a.b\\..c\\x.dat.bak"})));

  // Names no Windows install can hold: such a package would fail its check on every machine,
  // after the whole download. Two paths Windows takes for one file, a component ending in a dot
  // or a blank (which Windows drops), a character Windows refuses in names.
  for (const std::vector<std::string>& paths : std::vector<std::vector<std::string>>{
           {"Data\\a.dat", "data\\A.DAT"}, {"x", "a", "X"}, {"a.dll."}, {"a.dll "},
           {"Data.\\a.dat"}, {"Data \\a.dat"}, {"a*.dat"}, {"a?.dat"}, {"a<b"}, {"a>b"},
           {"a|b"}, {"say\"hi\""}}) {
    SCOPED_TRACE(paths[0]);
    EXPECT_FALSE(Decodes(WithFiles(paths)));
    PackageManifest manifest = SmallManifest();
    manifest.files.clear();
    for (const std::string& path : paths) manifest.files.push_back({path, 1, {}, ""});
    std::vector<uint8_t> body;
    EXPECT_FALSE(EncodeManifestBody(manifest, &body));
  }
  // GBK: the second byte of a double-byte character is no letter and no "|" of its own.
  EXPECT_TRUE(Decodes(WithFiles({"\x81\x41.dat", "\x81\x61.dat", "\x81\x7c.dat"})));

  // The package number and the base archive name are held to the same rule.
  std::vector<uint8_t> number = Signed(HexBytes(kSmallManifestBody));
  number[8] = '\n';
  EXPECT_FALSE(Decodes(number));
  std::vector<uint8_t> base = Header(0);
  base.push_back(3);
  base.insert(base.end(), {'a', '\x01', 'b'});
  base.insert(base.end(), 8 + kSha256Size, 0);
  EXPECT_FALSE(Decodes(Signed(base)));
}

TEST(PackageManifestTest, FileCountsTheBytesCannotHoldAreRefusedWithoutAllocatingForThem) {
  for (uint32_t count : {2u, 65535u, 65536u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(count);
    std::vector<uint8_t> data = Header(count);
    AppendFile(&data, "only.dat");
    data.push_back(0);
    data = Signed(data);
    g_largest = 0;
    g_watching = true;
    const bool decoded = Decodes(data);
    g_watching = false;
    EXPECT_FALSE(decoded);
    // Far below what `count` entries would take, even for the smallest count here.
    EXPECT_LT(g_largest.load(), 2048u);
  }
}

TEST(PackageManifestTest, EncoderRefusesWhatTheDecoderWouldRefuse) {
  auto encodes = [](const PackageManifest& manifest) {
    std::vector<uint8_t> body = {1, 2, 3};
    const bool ok = EncodeManifestBody(manifest, &body);
    // A refused manifest leaves no partial body behind for a caller to sign by mistake.
    if (!ok) {
      EXPECT_TRUE(body.empty());
    }
    return ok;
  };
  ASSERT_TRUE(encodes(SmallManifest()));

  PackageManifest m = SmallManifest();
  m.package_number = "";
  EXPECT_FALSE(encodes(m));
  m.package_number = "12345678901";
  EXPECT_FALSE(encodes(m));
  m.package_number = "1002\n1";
  EXPECT_FALSE(encodes(m));

  m = SmallManifest();
  m.files.push_back({"", 1, {}, ""});
  EXPECT_FALSE(encodes(m));
  m.files.back().path = std::string(kManifestPathMax + 1, 'p');
  EXPECT_FALSE(encodes(m));
  m.files.back().path = "bad\x01name";
  EXPECT_FALSE(encodes(m));
  m.files.back().path = m.files.front().path;
  EXPECT_FALSE(encodes(m));

  // Format 2 holds every file to its module; format 1 has no room for an expiry.
  m = SmallManifest2();
  ASSERT_TRUE(encodes(m));
  m.files[0].module = "";
  EXPECT_FALSE(encodes(m));
  m.files[0].module = std::string(kManifestModuleMax + 1, 'm');
  EXPECT_FALSE(encodes(m));
  m.files[0].module = "co\nre";
  EXPECT_FALSE(encodes(m));
  m = SmallManifest();
  m.expires = 1;
  EXPECT_FALSE(encodes(m));
  m = SmallManifest();
  m.format = 4;
  EXPECT_FALSE(encodes(m));

  m = SmallManifest();
  m.base_archive.path = std::string(kManifestBaseNameMax + 1, 'b');
  EXPECT_FALSE(encodes(m));
  m.base_archive.path = "base\t.zip";
  EXPECT_FALSE(encodes(m));

  m = SmallManifest();
  m.files.resize(kManifestMaxFiles + 1);
  for (size_t i = 0; i < m.files.size(); ++i) m.files[i].path = std::to_string(i);
  EXPECT_FALSE(encodes(m));
  m.files.pop_back();
  EXPECT_TRUE(encodes(m));
}

}  // namespace
