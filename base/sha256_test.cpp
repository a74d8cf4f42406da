// SHA-256 of bytes and files: the FIPS 180 vectors through one call and through uneven pieces,
// files on both sides of the read block size, and files that cannot be read; the processor's
// SHA extensions give the system's digests for every length around the block and pad sizes.
#include "base/sha256.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "base/file_system.h"
#include "base/sha256_shani.h"
#include "base/testing/hex.h"
#include "test_support/temp_dir.h"

namespace {

std::string HexOf(const Sha256Digest& digest) { return HexText(digest.data(), digest.size()); }

std::string HexOfText(const std::string& text) {
  return HexOf(Sha256Of(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

constexpr char kEmptyDigest[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

TEST(Sha256Test, Fips180Vectors) {
  EXPECT_EQ(HexOfText(""), kEmptyDigest);
  EXPECT_EQ(HexOf(Sha256Of(nullptr, 0)), kEmptyDigest);
  EXPECT_EQ(HexOfText("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(HexOfText("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

TEST(Sha256Test, OneMillionAsInUnevenPiecesMatchTheWholeAtOnce) {
  const std::string million(1000000, 'a');
  const char kExpected[] = "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0";
  EXPECT_EQ(HexOfText(million), kExpected);

  // Pieces that straddle the 64-byte block boundary in every way, empty ones included.
  Sha256 hash;
  const auto* bytes = reinterpret_cast<const uint8_t*>(million.data());
  size_t done = 0;
  size_t piece = 0;
  while (done < million.size()) {
    const size_t take = std::min(piece % 131, million.size() - done);
    hash.Update(bytes + done, take);
    done += take;
    ++piece;
  }
  EXPECT_EQ(HexOf(hash.Finish()), kExpected);
  EXPECT_FALSE(hash.failed());
}

TEST(Sha256Test, FilesGiveTheirDigestAndSize) {
  TempDir dir;
  const std::string empty = dir.Join("empty.bin");
  ASSERT_TRUE(WriteFileBytes(empty, ""));
  Sha256Digest digest = {};
  uint64_t size = 99;
  ASSERT_TRUE(Sha256OfFile(empty.c_str(), &digest, &size));
  EXPECT_EQ(HexOf(digest), kEmptyDigest);
  EXPECT_EQ(size, 0u);

  // Larger than the 64 KiB read block and not a multiple of it, with no repeating period that
  // a block-sized mistake could hide behind.
  std::string content(3 * 65536 + 1234, '\0');
  uint32_t state = 12345;
  for (char& c : content) {
    state = state * 1103515245u + 12345u;
    c = static_cast<char>(state >> 24);
  }
  const std::string big = dir.Join("big.bin");
  ASSERT_TRUE(WriteFileBytes(big, content));
  ASSERT_TRUE(Sha256OfFile(big.c_str(), &digest, &size));
  EXPECT_EQ(size, content.size());
  EXPECT_EQ(HexOf(digest), HexOfText(content));

  // The size is optional.
  Sha256Digest again = {};
  ASSERT_TRUE(Sha256OfFile(big.c_str(), &again, nullptr));
  EXPECT_EQ(again, digest);
}

TEST(Sha256Test, FilesThatCannotBeReadGiveFalse) {
  TempDir dir;
  Sha256Digest digest = {};
  uint64_t size = 0;
  EXPECT_FALSE(Sha256OfFile(dir.Join("missing.bin").c_str(), &digest, &size));
  EXPECT_FALSE(Sha256OfFile(dir.Join("no-folder\\missing.bin").c_str(), &digest, &size));
  // A folder opens as a file on some systems but cannot be read as one.
  ASSERT_TRUE(MakeDirectory(dir.Join("folder").c_str()));
  EXPECT_FALSE(Sha256OfFile(dir.Join("folder").c_str(), &digest, &size));
}

}  // namespace

// The extensions' path against the system's, where the processor has them: every length from 0
// to 300 bytes (all the padding cases), and large inputs fed in pieces that split blocks.
TEST(Sha256Test, TheShaExtensionsGiveTheSystemsDigests) {
  UseShaExtensions(true);
  if (!ShaExtensionsInUse()) GTEST_SKIP() << "this processor has no SHA extensions";
  std::string data(1 << 20, '\0');
  uint32_t x = 12345;
  for (char& c : data) {
    x = x * 1103515245 + 12345;
    c = static_cast<char>(x >> 23);
  }
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(data.data());
  auto both = [&](size_t size, size_t piece) {
    Sha256Digest fast, system;
    for (bool use : {true, false}) {
      UseShaExtensions(use);
      Sha256 hash;
      for (size_t at = 0; at < size; at += piece) hash.Update(bytes + at, std::min(piece, size - at));
      (use ? fast : system) = hash.Finish();
    }
    UseShaExtensions(true);
    EXPECT_EQ(HexOf(fast), HexOf(system)) << size << " in pieces of " << piece;
  };
  for (size_t size = 0; size <= 300; ++size) both(size, 300);
  for (size_t piece : {1, 63, 64, 65, 1000, 1 << 20}) both(data.size(), piece);
  UseShaExtensions(true);
}
