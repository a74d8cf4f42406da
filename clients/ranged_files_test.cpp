// Files completed by parts: what is asked for stays within the wire's bounds, the replies are
// written only where they were asked for (anything else is refused and writes nothing), a lost
// connection asks again for what did not come, and a finished file takes no more.
#include "clients/ranged_files.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/file_system.h"
#include "base/sha256.h"
#include "test_support/temp_dir.h"

namespace {

ModuleDownloadRecord Record(const char* name) {
  ModuleDownloadRecord record;
  std::strcpy(record.PackageKey, "100201");
  std::strcpy(record.Name, name);
  record.Num1 = 7;
  return record;
}

FileChunkRecord Chunk(const char* module, uint32_t offset, const std::string& data, bool last,
                      uint32_t total) {
  FileChunkRecord chunk;
  std::strcpy(chunk.ModuleName, module);
  chunk.Offset = offset;
  chunk.Data = reinterpret_cast<const uint8_t*>(data.data());
  chunk.DataLength = static_cast<int32_t>(data.size());
  chunk.Last = last;
  chunk.Total = total;
  return chunk;
}

class RangedFilesTest : public ::testing::Test {
 protected:
  RangedFilesTest() : path_(dir_.Join("a.day")) {
    EXPECT_TRUE(WriteFileBytes(path_, std::string(100, '.')));
  }
  TempDir dir_;
  const std::string path_;
  RangedFiles files_;
};

}  // namespace

TEST_F(RangedFilesTest, RepliesAreWrittenWhereTheyWereAskedForAndNowhereElse) {
  ASSERT_TRUE(files_.Add(Record("a"), path_, 100, {{10, 5}, {90, 10}}));
  auto requests = files_.Requests();
  ASSERT_EQ(requests.size(), 1u);
  ASSERT_EQ(requests[0].size(), 2u);
  EXPECT_EQ(requests[0][1].Offset, 90u);
  EXPECT_EQ(requests[0][1].Length, 10u);
  EXPECT_STREQ(requests[0][0].Module.Name, "a");

  // Not the head of what was asked, not its next byte, past its end, Last where it is not,
  // another module, another file size: each refused, nothing written.
  const std::string five = "ABCDE";
  for (const FileChunkRecord& bad :
       {Chunk("a", 90, "0123456789", true, 100), Chunk("a", 11, "BCDE", true, 100),
        Chunk("a", 10, "ABCDEF", true, 100), Chunk("a", 10, "ABC", true, 100),
        Chunk("a", 10, five, false, 100), Chunk("b", 10, five, true, 100),
        Chunk("a", 10, five, true, 101), Chunk("a", 10, "", false, 100)}) {
    const RangedFiles::Outcome out = files_.Write(path_, bad);
    EXPECT_FALSE(out.refusal.empty()) << bad.Offset << " " << bad.DataLength;
  }
  EXPECT_FALSE(files_.Write(dir_.Join("other"), Chunk("a", 10, five, true, 100)).refusal.empty());
  EXPECT_EQ(ReadFileBytes(path_), std::string(100, '.'));

  RangedFiles::Outcome out = files_.Write(path_, Chunk("a", 10, "ABC", false, 100));
  EXPECT_TRUE(out.refusal.empty() && out.failed_path.empty());
  EXPECT_TRUE(out.started);
  out = files_.Write(path_, Chunk("a", 13, "DE", true, 100));
  EXPECT_TRUE(out.refusal.empty() && out.finished.empty());
  // The connection is lost in the second range: only what did not come is asked for again.
  out = files_.Write(path_, Chunk("a", 90, "0123", false, 100));
  EXPECT_TRUE(out.refusal.empty() && out.finished.empty());
  files_.Drop();
  requests = files_.Requests();
  ASSERT_EQ(requests.size(), 1u);
  ASSERT_EQ(requests[0].size(), 1u);
  EXPECT_EQ(requests[0][0].Offset, 94u);
  EXPECT_EQ(requests[0][0].Length, 6u);
  out = files_.Write(path_, Chunk("a", 94, "456789", true, 100));
  EXPECT_EQ(out.finished, path_);
  EXPECT_EQ(out.module, "a");
  EXPECT_EQ(out.size, 100u);
  EXPECT_EQ(ReadFileBytes(path_),
            std::string(10, '.') + "ABCDE" + std::string(75, '.') + "0123456789");
  // Finished: nothing more is asked for, and a record for it is refused.
  EXPECT_TRUE(files_.Requests().empty());
  EXPECT_TRUE(files_.Has(path_));
  EXPECT_FALSE(files_.Write(path_, Chunk("a", 90, "x", true, 100)).refusal.empty());
}

TEST_F(RangedFilesTest, RequestsKeepTheWiresBounds) {
  // Ranges that do not fit their file, or the wire, are not taken.
  EXPECT_FALSE(files_.Add(Record("a"), path_, 100, {{95, 10}}));
  EXPECT_FALSE(files_.Add(Record("a"), path_, 100, {{5, 0}}));
  EXPECT_FALSE(files_.Add(Record("a"), path_, uint64_t{1} << 30, {{0, kMaxRangeLength + 1}}));
  // 2500 small ranges: requests of at most 1024; 20 ranges of 4 MiB: at most 64 MiB each.
  std::vector<FileRange> small;
  for (uint64_t i = 0; i < 2500; ++i) small.push_back({i * 10, 5});
  ASSERT_TRUE(files_.Add(Record("small"), dir_.Join("small"), 25000, small));
  std::vector<FileRange> large;
  for (uint64_t i = 0; i < 20; ++i) large.push_back({i * kMaxRangeLength, kMaxRangeLength});
  ASSERT_TRUE(files_.Add(Record("large"), dir_.Join("large"), 20 * uint64_t{kMaxRangeLength},
                         large));
  size_t ranges = 0;
  for (const auto& request : files_.Requests()) {
    EXPECT_GE(request.size(), 1u);
    EXPECT_LE(request.size(), kMaxRangesPerRequest);
    uint64_t bytes = 0;
    for (const ModuleRangeRecord& r : request) bytes += r.Length;
    EXPECT_LE(bytes, kMaxRangeRequestBytes);
    ranges += request.size();
  }
  EXPECT_EQ(ranges, 2520u);
}

// A chunk whose start came from the old file (an append) is proven once the rest is in: when
// the old bytes were right the file is done; when not, the whole chunk is asked for after what
// was asked before, and the file is done once it is in.
TEST_F(RangedFilesTest, AChunkTakenUnprovenIsCheckedAndFetchedWholeWhenWrong) {
  const std::string chunk = "0123456789";  // bytes 90..99 of the file
  const Sha256Digest digest =
      Sha256Of(reinterpret_cast<const uint8_t*>(chunk.data()), chunk.size());
  for (bool right : {true, false}) {
    SCOPED_TRACE(right);
    // The old file held 90..95: right, or not.
    ASSERT_TRUE(WriteFileBytes(path_, std::string(90, '.') + (right ? "012345" : "01X345") +
                                          std::string(4, '.')));
    RangedFiles files;
    ASSERT_TRUE(files.Add(Record("a"), path_, 100, {{96, 4}}, {{90, 10, digest}}));
    ASSERT_EQ(files.Requests().size(), 1u);
    RangedFiles::Outcome out = files.Write(path_, Chunk("a", 96, "6789", true, 100));
    EXPECT_TRUE(out.refusal.empty() && out.failed_path.empty());
    if (right) {
      EXPECT_EQ(out.finished, path_);
      EXPECT_FALSE(out.ask_again);
      continue;
    }
    EXPECT_TRUE(out.finished.empty());
    ASSERT_TRUE(out.ask_again);
    const auto again = files.RequestsFor(path_);
    ASSERT_EQ(again.size(), 1u);
    ASSERT_EQ(again[0].size(), 1u);
    EXPECT_EQ(again[0][0].Offset, 90u);
    EXPECT_EQ(again[0][0].Length, 10u);
    EXPECT_TRUE(files.RequestsFor(path_).empty());  // asked once
    out = files.Write(path_, Chunk("a", 90, chunk, true, 100));
    EXPECT_EQ(out.finished, path_);
    EXPECT_EQ(ReadFileBytes(path_), std::string(90, '.') + chunk);
  }
}
