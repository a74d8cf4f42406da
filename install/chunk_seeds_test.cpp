// New files built from the chunks of old ones, against real folders: chunks found in several
// files of the install (by content, wherever they are), the rest left as ranges to download; an
// install file changed since its manifest listed it gives nothing; an old manifest without
// chunk lists has its files cut again.
#include "install/chunk_seeds.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/file_chunks.h"
#include "base/file_system.h"
#include "base/make_path_dirs.h"
#include "base/sha256.h"
#include "test_support/temp_dir.h"

namespace {

constexpr ChunkSizes kSizes = {1024, 4096, 16384};

std::string Noise(size_t size, uint32_t seed) {
  std::string bytes(size, '\0');
  uint32_t x = seed * 2654435761u + 11;
  for (char& b : bytes) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<char>(x >> 24);
  }
  return bytes;
}

class ChunkSeedsTest : public ::testing::Test {
 protected:
  ChunkSeedsTest() : install_(dir_.Join("install")), staging_(dir_.Join("staging")) {}

  static void Put(const std::string& full, const std::string& bytes) {
    ASSERT_TRUE(MakePathDirs(full.c_str()));
    ASSERT_TRUE(WriteFileBytes(full, bytes));
  }
  // The manifest entry of `bytes` at `path`, cut as a packer cuts it (written to a scratch file).
  ManifestFile Listed(const std::string& path, const std::string& bytes) {
    const std::string scratch = dir_.Join("scratch");
    Put(scratch, bytes);
    FileChunks cut;
    EXPECT_TRUE(ChunkFile(scratch.c_str(), kSizes, &cut));
    ManifestFile file(path, cut.size, cut.sha256, "m");
    file.chunks = cut.chunks;
    return file;
  }
  // An install holding `files` (path, bytes), with its manifest of format 3 or 2.
  PackageManifest Install(const std::vector<std::pair<std::string, std::string>>& files,
                          uint16_t format) {
    PackageManifest manifest;
    manifest.format = format;
    manifest.chunk_sizes = kSizes;
    for (const auto& [path, bytes] : files) {
      Put(install_ + "\\" + path, bytes);
      manifest.files.push_back(Listed(path, bytes));
      if (format != kManifestFormat3) manifest.files.back().chunks.clear();
    }
    return manifest;
  }
  uint64_t Missing(const SeededFile& seeded) {
    uint64_t bytes = 0;
    for (const ByteRange& r : seeded.missing) bytes += r.length;
    return bytes;
  }

  TempDir dir_;
  std::string install_, staging_;
};

}  // namespace

TEST_F(ChunkSeedsTest, ANewFileIsBuiltFromChunksOfSeveralOldFilesAndTheRestIsMissing) {
  const std::string a = Noise(60000, 1), b = Noise(50000, 2), fresh = Noise(9000, 3);
  for (uint16_t format : {kManifestFormat3, kManifestFormat2}) {
    SCOPED_TRACE(format);
    const PackageManifest installed =
        Install({{"Data\\a.day", a}, {"Data\\b.day", b}}, format);
    ChunkSeeds seeds;
    seeds.AddInstall(installed, install_, kSizes);
    EXPECT_GT(seeds.size(), 10u);
    // The new file: the start of a, new bytes, the end of b.
    const std::string wanted = a.substr(0, 30000) + fresh + b.substr(20000);
    const ManifestFile file = Listed("Data\\c.day", wanted);
    SeededFile seeded;
    ASSERT_TRUE(SeedFile(file, seeds, staging_, "", &seeded));
    EXPECT_EQ(seeded.size, wanted.size());
    EXPECT_FALSE(seeded.complete());
    // Only the chunks around the new bytes are missing: a few average chunks, not the file.
    EXPECT_LE(Missing(seeded), fresh.size() + 4 * kSizes.average);
    EXPECT_EQ(seeded.seeded_bytes + Missing(seeded), wanted.size());
    // What was copied is in place; the missing ranges, filled in, give the file.
    std::string staged = ReadFileBytes(staging_ + "\\Data\\c.day");
    ASSERT_EQ(staged.size(), wanted.size());
    for (const ByteRange& r : seeded.missing) {
      EXPECT_LE(r.length, kMaxMissingRange);
      staged.replace(r.offset, r.length, wanted.substr(r.offset, r.length));
    }
    EXPECT_TRUE(staged == wanted);
    // A file whose every chunk is in the install is complete from seeds.
    SeededFile whole;
    ASSERT_TRUE(SeedFile(Listed("Data\\a2.day", a), seeds, staging_, "", &whole));
    EXPECT_TRUE(whole.complete());
    EXPECT_TRUE(ReadFileBytes(staging_ + "\\Data\\a2.day") == a);
  }
}

TEST_F(ChunkSeedsTest, AnInstallFileChangedSinceItsManifestGivesNothing) {
  const std::string a = Noise(40000, 4);
  const PackageManifest installed = Install({{"Data\\a.day", a}}, kManifestFormat3);
  // The terminal wrote into the file after the install: same size, other bytes.
  std::string edited = a;
  for (size_t i = 0; i < edited.size(); i += 997) edited[i] = static_cast<char>(~edited[i]);
  Put(install_ + "\\Data\\a.day", edited);
  ChunkSeeds seeds;
  seeds.AddInstall(installed, install_, kSizes);
  SeededFile seeded;
  ASSERT_TRUE(SeedFile(Listed("Data\\a.day", a), seeds, staging_, "", &seeded));
  EXPECT_EQ(seeded.seeded_bytes, 0u);
  EXPECT_EQ(Missing(seeded), a.size());
  // Merged into ranges of at most the longest one a request asks for.
  EXPECT_LE(seeded.missing.size(), 2u);
  // A file that is gone, or cut short, seeds nothing past its end.
  ASSERT_TRUE(WriteFileBytes(install_ + "\\Data\\a.day", a.substr(0, 10000)));
  ChunkSeeds short_seeds;
  short_seeds.AddInstall(installed, install_, kSizes);
  SeededFile rebuilt;
  ASSERT_TRUE(SeedFile(Listed("Data\\a.day", a), short_seeds, staging_, "", &rebuilt));
  EXPECT_LE(rebuilt.seeded_bytes, 10000u);
  EXPECT_GE(Missing(rebuilt), 30000u);
}

// An interrupted download's staged file is a seed as far as it was written.
TEST_F(ChunkSeedsTest, AStagedFileSeedsWhatItHoldsAlready) {
  const std::string a = Noise(70000, 5);
  const ManifestFile file = Listed("Data\\a.day", a);
  const std::string part = dir_.Join("part");
  Put(part, a.substr(0, 35000));
  ChunkSeeds seeds;
  seeds.AddListed(part, file.chunks, 35000);
  SeededFile seeded;
  ASSERT_TRUE(SeedFile(file, seeds, staging_, "", &seeded));
  EXPECT_GT(seeded.seeded_bytes, 35000u - kSizes.max);
  EXPECT_LE(seeded.seeded_bytes, 35000u);
  EXPECT_EQ(seeded.seeded_bytes + Missing(seeded), a.size());
  // The staged file as its own seed: rebuilt in place, nothing it held lost.
  const std::string staged = staging_ + "\\Data\\a.day";
  Put(staged, a.substr(0, 35000));
  ChunkSeeds itself;
  itself.AddListed(staged, file.chunks, 35000);
  SeededFile again;
  ASSERT_TRUE(SeedFile(file, itself, staging_, "", &again));
  EXPECT_EQ(again.seeded_bytes, seeded.seeded_bytes);
  const std::string rebuilt = ReadFileBytes(staged);
  ASSERT_EQ(rebuilt.size(), a.size());
  EXPECT_TRUE(rebuilt.substr(0, again.seeded_bytes) == a.substr(0, again.seeded_bytes));
  EXPECT_FALSE(PathExists((staged + ".seeding").c_str()));
}

// A day of quotes appended: the old file at the same path runs into the changed last chunk,
// and only the appended bytes are missing; the chunk is provisional until they are in.
TEST_F(ChunkSeedsTest, AnAppendLeavesOnlyTheAppendedBytesMissing) {
  const std::string a = Noise(50000, 6);
  const PackageManifest installed = Install({{"Data\\a.day", a}}, kManifestFormat3);
  ChunkSeeds seeds;
  seeds.AddInstall(installed, install_, kSizes);
  const std::string grown = a + Noise(64, 7);
  const ManifestFile file = Listed("Data\\a.day", grown);
  SeededFile seeded;
  ASSERT_TRUE(SeedFile(file, seeds, staging_, install_ + "\\Data\\a.day", &seeded));
  ASSERT_EQ(seeded.missing.size(), 1u);
  EXPECT_EQ(seeded.missing[0].offset, a.size());
  EXPECT_EQ(seeded.missing[0].length, 64u);
  ASSERT_EQ(seeded.provisional.size(), 1u);
  // The chunk the old end falls in (the appended bytes may have made a boundary after it).
  const ProvisionalChunk& chunk = seeded.provisional[0];
  EXPECT_EQ(chunk.offset + chunk.taken, a.size());
  EXPECT_GT(chunk.offset + chunk.length, a.size());
  uint64_t at = 0;
  const ManifestChunk* listed = nullptr;
  for (const ManifestChunk& c : file.chunks) {
    if (at == chunk.offset) listed = &c;
    at += c.length;
  }
  ASSERT_NE(listed, nullptr);
  EXPECT_EQ(listed->length, chunk.length);
  EXPECT_EQ(chunk.sha256, listed->sha256);
  EXPECT_EQ(seeded.seeded_bytes, a.size());
  // Without the old file beside it, the whole changed chunk is missing.
  SeededFile plain;
  ASSERT_TRUE(SeedFile(file, seeds, staging_, "", &plain));
  EXPECT_TRUE(plain.provisional.empty());
  EXPECT_GT(Missing(plain), chunk.length - chunk.taken);
}
