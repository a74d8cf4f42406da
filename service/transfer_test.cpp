// Cutting files into chunk records: sizes at and around the chunk boundary, the record fields an
// installer reads, the per-message limit, and a file that shrinks while it is being sent.
#include "service/transfer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "base/coding.h"
#include "wire/message.h"
#include "wire/records.h"
#include "service/replies.h"
#include "service/testing/test_service.h"

namespace fs = std::filesystem;

namespace {

struct Chunk {
  std::string name, file, folder, data;
  uint32_t index, offset, total;
  bool last;
};

std::vector<Chunk> Records(const std::vector<uint8_t>& message, MessageHeader* header) {
  EXPECT_TRUE(DecodeMessageHeader(message.data(), message.size(), header));
  EXPECT_TRUE(RecordsFit(*header, message.size(), header->RecordSize));
  std::vector<Chunk> out;
  for (size_t i = 0; i < header->RecordCount; ++i) {
    const uint8_t* r = &message[kMessageHeaderSize + i * header->RecordSize];
    Chunk c;
    if (header->Code == kMsgFileDownloadRsp) {
      const FileChunkRecord f = DecodeFileChunkRecord(r);
      c = {f.ModuleName, f.FileName, f.Folder,
           std::string(reinterpret_cast<const char*>(f.Data), static_cast<size_t>(f.DataLength)),
           f.Index, f.Offset, f.Total, f.Last};
    } else {
      const BaseChunkRecord b = DecodeBaseChunkRecord(r);
      c = {"", b.FileName, "",
           std::string(reinterpret_cast<const char*>(b.Data), static_cast<size_t>(b.DataLength)),
           b.Index, b.Offset, b.Total, b.Last};
    }
    out.push_back(c);
  }
  return out;
}

}  // namespace

TEST(Transfer, FilesAreCutIntoChunksOfAtMost1001BytesInRequestOrder) {
  TempDir dir;
  std::vector<PackageModule> modules = {
      TestModule(dir.path(), "empty", ""),         TestModule(dir.path(), "one", "1"),
      TestModule(dir.path(), "exact", TestBytes(1001, 1)), TestModule(dir.path(), "over", TestBytes(1002, 2)),
      TestModule(dir.path(), "long", TestBytes(Transfer::kChunksPerMessage * 1001 + 5, 3))};
  std::vector<const PackageModule*> request = {&modules[4], &modules[0], &modules[1],
                                               &modules[2], &modules[3], &modules[1]};
  auto t = Transfer::Modules(request);
  std::map<std::string, std::string> files;
  std::vector<std::string> completed;
  int messages = 0;
  std::string reason;
  while (!t->done()) {
    std::vector<uint8_t> message;
    ASSERT_TRUE(t->NextMessage(1000, &message, &reason)) << reason;
    MessageHeader header;
    std::vector<Chunk> chunks = Records(message, &header);
    ++messages;
    EXPECT_EQ(header.Code, kMsgFileDownloadRsp);
    EXPECT_EQ(header.RecordSize, kFileChunkRecordSize);
    EXPECT_LE(chunks.size(), Transfer::kChunksPerMessage);
    EXPECT_EQ(header.Chain == kChainLast, t->done());
    for (const Chunk& c : chunks) {
      EXPECT_LE(c.data.size(), 1001u);
      EXPECT_EQ(c.folder, "Data\\");
      EXPECT_EQ(c.file, c.name + ".bin");
      std::string& file = files[c.name];
      if (c.index == 0) file.clear();  // "one" is asked for twice
      EXPECT_EQ(c.offset, file.size());
      file += c.data;
      EXPECT_EQ(c.last, file.size() == c.total);
      if (c.last) completed.push_back(c.name);
    }
  }
  EXPECT_EQ(completed, (std::vector<std::string>{"long", "empty", "one", "exact", "over", "one"}));
  for (const PackageModule& m : modules) {
    std::ifstream in(m.source_path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(files[m.name] == bytes) << m.name;
  }
  // 97 + 1 + 1 + 1 + 2 + 1 chunks in messages of at most 96.
  EXPECT_EQ(t->chunks(), 103u);
  EXPECT_EQ(messages, 2);
  EXPECT_EQ(t->files_done(), 6u);
}

TEST(Transfer, RecordLimitPerMessageIsKept) {
  TempDir dir;
  PackageModule m = TestModule(dir.path(), "m", TestBytes(10 * 1001, 4));
  auto t = Transfer::Modules({&m});
  std::string reason;
  std::vector<uint8_t> message;
  ASSERT_TRUE(t->NextMessage(3, &message, &reason));
  MessageHeader header;
  EXPECT_EQ(Records(message, &header).size(), 3u);
  EXPECT_EQ(header.Chain, '1');
  EXPECT_FALSE(t->done());
}

TEST(Transfer, EmptyRequestYieldsOneMessageWithoutRecords) {
  auto t = Transfer::Modules({});
  std::vector<uint8_t> message;
  std::string reason;
  ASSERT_TRUE(t->NextMessage(96, &message, &reason));
  MessageHeader header;
  EXPECT_TRUE(Records(message, &header).empty());
  EXPECT_EQ(header.Chain, kChainLast);
  EXPECT_TRUE(t->done());
}

TEST(Transfer, BaseArchiveChunksCarryTheRequestedName) {
  TempDir dir;
  std::string zip = "PK\x03\x04" + TestBytes(2500, 5);
  std::ofstream(dir.path() + "/dep.zip", std::ios::binary) << zip;
  auto t = Transfer::BaseArchive(dir.path() + "/dep.zip", "SystemDepend.zip");
  std::vector<uint8_t> message;
  std::string reason;
  ASSERT_TRUE(t->NextMessage(96, &message, &reason));
  MessageHeader header;
  std::vector<Chunk> chunks = Records(message, &header);
  EXPECT_EQ(header.Code, kMsgSystemDependFileRsp);
  EXPECT_EQ(header.RecordSize, kBaseChunkRecordSize);
  ASSERT_EQ(chunks.size(), 3u);
  EXPECT_EQ(chunks[0].file, "SystemDepend.zip");
  EXPECT_TRUE(chunks[2].last);
  EXPECT_FALSE(chunks[1].last);
  EXPECT_TRUE(chunks[0].data + chunks[1].data + chunks[2].data == zip);
}

TEST(Transfer, FileCutWhileBeingSentIsAnErrorNotAShortFile) {
  TempDir dir;
  PackageModule m = TestModule(dir.path(), "m", TestBytes(400 * 1001, 6));
  PackageModule gone = TestModule(dir.path(), "gone", "x");
  fs::remove(gone.source_path);
  auto t = Transfer::Modules({&m, &gone});
  std::vector<uint8_t> message;
  std::string reason;
  ASSERT_TRUE(t->NextMessage(96, &message, &reason));
  // Past what the first read took in (64 KiB), the rest of the file is gone.
  fs::resize_file(m.source_path, 70000);
  bool failed = false;
  while (!failed && !t->done()) failed = !t->NextMessage(96, &message, &reason);
  EXPECT_TRUE(failed);
  EXPECT_NE(reason.find("changed while being sent"), std::string::npos);

  auto missing = Transfer::Modules({&gone});
  EXPECT_FALSE(missing->NextMessage(96, &message, &reason));
  EXPECT_NE(reason.find("cannot open"), std::string::npos);
}

// A module whose file was replaced after its version was loaded, asked for before (the request
// saw the old file) and opened after: nothing of it goes out, the cache's build included.
TEST(Transfer, AFileReplacedSinceItsVersionWasLoadedIsNotSent) {
  TempDir dir;
  PackageModule m = TestModule(dir.path(), "m", TestBytes(3000, 7));
  ASSERT_TRUE(ReadFileIdentity(m.source_path, &m.identity));
  auto t = Transfer::Modules({&m});
  const std::string replacement = m.source_path + ".new";
  std::ofstream(replacement, std::ios::binary) << TestBytes(3000, 8);
  fs::rename(replacement, m.source_path);
  std::vector<uint8_t> message;
  std::string reason;
  EXPECT_FALSE(t->NextMessage(96, &message, &reason));
  EXPECT_NE(reason.find("changed since its version was loaded"), std::string::npos) << reason;
  // The file as loaded goes out as before.
  PackageModule same = TestModule(dir.path(), "same", TestBytes(3000, 9));
  ASSERT_TRUE(ReadFileIdentity(same.source_path, &same.identity));
  auto ok = Transfer::Modules({&same});
  while (!ok->done()) ASSERT_TRUE(ok->NextMessage(96, &message, &reason)) << reason;
}
