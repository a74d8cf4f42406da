// The update and download endpoints spoken to as an installer speaks to them: the whole
// exchange, fresh keys per connection, refusals, and files that arrive byte-identical.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <set>

#include "net/protocol.h"
#include "service/replies.h"
#include "service/testing/test_client.h"
#include "service/testing/test_service.h"

namespace fs = std::filesystem;

namespace {

class SessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    files_ = {{"", "quillbank ix.exe", TestBytes(70000, 1)},
              {"Data\\Quotes\\", "a.day", TestBytes(1001, 2)},
              {"Data\\Quotes\\", "b.day", TestBytes(1002, 3)},
              {"Data\\", "empty.bin", ""},
              {"Data\\", "big.bin", TestBytes(600000, 4)},
              {"Docs\\", "notes.txt", "not downloaded", 'D'}};
    base_ = "PK\x03\x04" + TestBytes(5000, 9);
    WriteTestPackage(temp_.path(), "100201", files_, base_);
  }
  bool Start(const FaultConfig& faults = {}) { return service_.Start({temp_.path()}, faults); }

  TempDir temp_;
  std::vector<TestFile> files_;
  std::string base_;
  TestService service_;
};

}  // namespace

TEST_F(SessionTest, WholeExchangeDeliversEveryFileByteIdentical) {
  ASSERT_TRUE(Start());
  UpdateReply reply;
  std::vector<ModuleRecord> records;
  ASSERT_TRUE(CheckExchange(service_.update(), "100201", &reply, &records));
  EXPECT_EQ(reply.error_code, 0);
  EXPECT_EQ(reply.part3, 5);
  EXPECT_EQ(reply.part4, 17);
  EXPECT_EQ(reply.download_host, "127.0.0.1");
  EXPECT_EQ(reply.download_port, service_.download().port);
  ASSERT_EQ(records.size(), files_.size());
  for (size_t i = 0; i < files_.size(); ++i) {
    EXPECT_STREQ(records[i].PackageKey, "100201");
    EXPECT_EQ(records[i].Name, files_[i].folder_part + files_[i].file_part);
    EXPECT_EQ(int32_t{records[i].Num1}, static_cast<int32_t>(i + 1));
    EXPECT_EQ(int32_t{records[i].Num2}, 17);
    EXPECT_EQ(char{records[i].Kind}, files_[i].kind);
    EXPECT_EQ(std::string(records[i].Tail, 8), std::string("t\0\0\0\0\0\0\0", 8));
  }

  TestClient dl;
  ASSERT_TRUE(dl.Link(service_.download()));
  std::string base;
  ASSERT_TRUE(dl.DownloadBase(&base));
  EXPECT_TRUE(base == base_);
  std::map<std::string, std::string> got;
  uint64_t chunks = 0;
  ASSERT_TRUE(dl.DownloadModules(records, &got, &chunks));
  EXPECT_EQ(got.size(), files_.size() - 1);  // the "D" module is not asked for
  for (const TestFile& f : files_) {
    if (f.kind == 'D') continue;
    EXPECT_TRUE(got[f.folder_part + f.file_part] == f.bytes) << f.file_part;
  }
  // One chunk per started 1001 bytes, and one for the empty file.
  EXPECT_EQ(chunks, 70u + 1 + 2 + 1 + 600u);
  EXPECT_TRUE(service_.LogHas("module download: 5 files"));
  EXPECT_TRUE(service_.LogHas("login \"kivor\" accepted"));
}

TEST_F(SessionTest, EachConnectionGetsFreshSessionKeys) {
  ASSERT_TRUE(Start());
  std::set<std::string> keys;
  for (int i = 0; i < 4; ++i) {
    TestClient c;
    ASSERT_TRUE(c.Link(i % 2 ? service_.update() : service_.download()));
    EXPECT_EQ(strlen(c.send_key()), 16u);
    keys.insert(c.send_key());
  }
  EXPECT_EQ(keys.size(), 4u);
}

TEST_F(SessionTest, WrongAccountIsRefusedAndChecksNeedALogin) {
  ASSERT_TRUE(Start());
  TestClient c;
  int32_t error = -1;
  ASSERT_TRUE(c.Link(service_.update()));
  ASSERT_TRUE(c.Login("kivor", "wrong", &error));
  EXPECT_EQ(error, kErrorRefused);
  UpdateReply reply;
  EXPECT_FALSE(c.UpdateCheck("100201", 0, 0, &reply));
  EXPECT_TRUE(c.socket().WaitClosed());
  EXPECT_TRUE(service_.LogHas("closed: 0x3051 without a login"));
}

TEST_F(SessionTest, UpdateCheckAnswersUnknownPackagesAndCurrentInstallsWithoutProceeding) {
  ASSERT_TRUE(Start());
  TestClient c;
  ASSERT_TRUE(c.LogIn(service_.update()));
  UpdateReply reply;
  ASSERT_TRUE(c.UpdateCheck("999999", 0, 0, &reply));
  EXPECT_FALSE(reply.proceed);
  EXPECT_EQ(reply.error_code, kErrorUnknownPackage);
  ASSERT_TRUE(c.UpdateCheck("100201", 5, 17, &reply));
  EXPECT_FALSE(reply.proceed);
  EXPECT_EQ(reply.error_code, kErrorUpToDate);
  // A module check for a version that is not published is refused.
  std::vector<ModuleRecord> records;
  int messages = 0;
  EXPECT_FALSE(c.ModuleCheck("100201", 5, 16, &records, &messages));
  EXPECT_TRUE(service_.LogHas("module check for version 5.16 which is not published"));
}

TEST_F(SessionTest, DownloadRequestWithoutRecordsGetsOneEmptyReply) {
  ASSERT_TRUE(Start());
  TestClient dl;
  ASSERT_TRUE(dl.Link(service_.download()));
  ASSERT_TRUE(dl.SendMessage(TestClient::Request(kMsgDownloadModule, 0, 74, {}), '6'));
  std::vector<uint8_t> message;
  MessageHeader header;
  ASSERT_TRUE(dl.Receive(&message, &header));
  EXPECT_EQ(header.Code, kMsgFileDownloadRsp);
  EXPECT_EQ(header.RecordCount, 0);
  EXPECT_EQ(header.Chain, kChainLast);
}

TEST_F(SessionTest, HeartbeatsAreAnsweredUnderTheBuiltInKey) {
  ASSERT_TRUE(Start());
  TestClient c;
  ASSERT_TRUE(c.Link(service_.update()));
  ASSERT_TRUE(c.SendMessage(TestClient::Request(kMsgHeartbeat, 1, 4, {0, 0, 0, 0}), '4'));
  std::vector<uint8_t> message;
  MessageHeader header;
  ASSERT_TRUE(c.Receive(&message, &header));
  EXPECT_EQ(header.Code, kMsgHeartbeatAnswer);
}

TEST_F(SessionTest, LongModuleListsAreChainedAndDownloadedInSeveralRequests) {
  std::vector<TestFile> many;
  for (int i = 0; i < 1800; ++i) many.push_back({"M\\", "f" + std::to_string(i), "x"});
  TempDir other;
  WriteTestPackage(other.path(), "300", many);
  ASSERT_TRUE(service_.Start({other.path()}));
  TestClient c;
  ASSERT_TRUE(c.LogIn(service_.update()));
  std::vector<ModuleRecord> records;
  int messages = 0;
  ASSERT_TRUE(c.ModuleCheck("300", 5, 17, &records, &messages));
  EXPECT_EQ(messages, 2);
  ASSERT_EQ(records.size(), 1800u);
  EXPECT_STREQ(records[1799].Name, "M\\f1799");

  TestClient dl;
  ASSERT_TRUE(dl.Link(service_.download()));
  // More modules than one request carries: two requests, served one after the other.
  std::map<std::string, std::string> got;
  ASSERT_TRUE(dl.DownloadModules(records, &got));
  EXPECT_EQ(got.size(), 1800u);
  EXPECT_EQ(got["M\\f1777"], "x");
  EXPECT_TRUE(service_.LogHas("module download: 1665 files"));
  EXPECT_TRUE(service_.LogHas("module download: 135 files"));
}

TEST_F(SessionTest, SeveralPackagesAreServedSideBySide) {
  TempDir second;
  WriteTestPackage(second.path(), "200", {{"", "other.exe", TestBytes(5000, 7)}}, "",
                   "second");
  ASSERT_TRUE(service_.Start({temp_.path(), second.path()}));
  UpdateReply reply;
  std::vector<ModuleRecord> records;
  ASSERT_TRUE(CheckExchange(service_.update(), "200", &reply, &records));
  ASSERT_EQ(records.size(), 1u);
  TestClient dl;
  ASSERT_TRUE(dl.Link(service_.download()));
  std::map<std::string, std::string> got;
  ASSERT_TRUE(dl.DownloadModules(records, &got));
  EXPECT_TRUE(got["other.exe"] == TestBytes(5000, 7));
  TestClient q;
  uint16_t code = 0;
  std::string name;
  ASSERT_TRUE(q.Connect(service_.query()));
  ASSERT_TRUE(q.PackageQuery("200", &code, &name));
  EXPECT_EQ(name, "second");
}

TEST_F(SessionTest, MissingBaseArchiveIsSentAsAnEmptyOne) {
  TempDir bare;
  WriteTestPackage(bare.path(), "400", {{"", "a", "a"}});
  ASSERT_TRUE(service_.Start({bare.path()}));
  TestClient dl;
  ASSERT_TRUE(dl.Link(service_.download()));
  std::string base;
  ASSERT_TRUE(dl.DownloadBase(&base));
  EXPECT_TRUE(base.empty());
  EXPECT_TRUE(service_.LogHas("none published"));
}

// A file cut short after its package was loaded holds bytes the record handed out does not
// name: the download is refused with the code that says so, never sent as the file is now.
TEST_F(SessionTest, AFileChangedSinceItsPackageWasLoadedIsRefused) {
  ASSERT_TRUE(Start());
  UpdateReply reply;
  std::vector<ModuleRecord> records;
  ASSERT_TRUE(CheckExchange(service_.update(), "100201", &reply, &records));
  fs::resize_file(fs::path(temp_.path()) / "Data/big.bin", 10);
  TestClient dl;
  ASSERT_TRUE(dl.Link(service_.download()));
  ASSERT_TRUE(dl.RequestModules(records));
  std::vector<uint8_t> message;
  MessageHeader header;
  ASSERT_TRUE(dl.Receive(&message, &header));
  EXPECT_EQ(header.Code, kMsgFileDownloadRsp);
  EXPECT_EQ(header.ErrorCode, kErrorModuleNotServed);
  EXPECT_EQ(header.RecordCount, 0u);
  EXPECT_TRUE(dl.socket().WaitClosed());
  EXPECT_TRUE(service_.LogHas("big.bin changed since its version was loaded"));
}

// Parts of module files, in the order asked, each range cut into chunk records that say where
// they belong (offset, the file's size) and end with Last; whole files and ranges on one
// connection; then the bounds, each refused with the connection closed.
TEST_F(SessionTest, RangesAreServedInTheOrderAskedAndHeldToTheirBounds) {
  ASSERT_TRUE(Start());
  UpdateReply reply;
  std::vector<ModuleRecord> records;
  ASSERT_TRUE(CheckExchange(service_.update(), "100201", &reply, &records));
  const ModuleRecord& big = records[4];
  const std::string& bytes = files_[4].bytes;
  TestClient dl;
  ASSERT_TRUE(dl.Link(service_.download()));
  const std::vector<TestClient::Range> asked = {
      {big, 500000, 2500}, {records[1], 1000, 1}, {big, 0, 64}, {big, 599990, 10}};
  ASSERT_TRUE(dl.RequestRanges(asked));
  std::vector<TestClient::RangeChunk> chunks;
  ASSERT_TRUE(dl.ReceiveRanges(asked.size(), &chunks));
  size_t c = 0;
  for (const TestClient::Range& range : asked) {
    const std::string& file = range.module.Num1 == big.Num1 ? bytes : files_[1].bytes;
    std::string got;
    uint32_t offset = range.offset;
    do {
      ASSERT_LT(c, chunks.size());
      EXPECT_EQ(chunks[c].offset, offset);
      EXPECT_EQ(chunks[c].total, file.size());
      EXPECT_LE(chunks[c].data.size(), kChunkDataSize);
      offset += static_cast<uint32_t>(chunks[c].data.size());
      got += chunks[c].data;
    } while (!chunks[c++].last);
    EXPECT_EQ(got, file.substr(range.offset, range.length)) << range.offset;
  }
  EXPECT_EQ(c, chunks.size());
  std::map<std::string, std::string> whole;
  ASSERT_TRUE(dl.DownloadModules({records[2]}, &whole));
  EXPECT_EQ(whole["Data\\Quotes\\b.day"], files_[2].bytes);
  const MetricsCounts counts = service_.service().Counts();
  EXPECT_EQ(counts.range_requests, 1u);
  EXPECT_EQ(counts.ranges, 4u);
  EXPECT_EQ(counts.range_bytes, 2500u + 1 + 64 + 10);

  struct Bad {
    std::vector<TestClient::Range> ranges;
    const char* logged;
  };
  const std::vector<Bad> bad = {
      {{{big, 599990, 11}}, "a range past the end"},
      {{{big, 0, 0}}, "a range of 0 bytes"},
      {{{big, 0, kMaxRangeLength + 1}}, "a range of 4194305 bytes"},
      {std::vector<TestClient::Range>(17, {big, 0, kMaxRangeLength}), "ranges of more than"},
      {std::vector<TestClient::Range>(kMaxRangesPerRequest + 1, {big, 0, 1}), "1025 records"},
      {{}, "0x3073 with 0 records"},
  };
  for (const Bad& b : bad) {
    SCOPED_TRACE(b.logged);
    TestClient c2;
    ASSERT_TRUE(c2.Link(service_.download()));
    ASSERT_TRUE(c2.RequestRanges(b.ranges));
    EXPECT_TRUE(c2.socket().WaitClosed());
    EXPECT_TRUE(service_.LogHas(b.logged));
  }
}

// With --no-ranges the service refuses the request as one that does not know it would.
TEST_F(SessionTest, WithoutRangesTheRequestIsRefusedAsAnUnknownOne) {
  ServiceOptions options;
  options.packages = {temp_.path()};
  options.ranges = false;
  ASSERT_TRUE(service_.Start(options));
  UpdateReply reply;
  std::vector<ModuleRecord> records;
  ASSERT_TRUE(CheckExchange(service_.update(), "100201", &reply, &records));
  TestClient dl;
  ASSERT_TRUE(dl.Link(service_.download()));
  ASSERT_TRUE(dl.RequestRanges({{records[4], 0, 10}}));
  EXPECT_TRUE(dl.socket().WaitClosed());
  EXPECT_TRUE(service_.LogHas("unexpected message 0x3073 on the download endpoint"));
}

TEST_F(SessionTest, PackageQueryForAnUnknownPackageHasAnEmptyName) {
  ASSERT_TRUE(service_.Start({temp_.path()}));
  TestClient q;
  ASSERT_TRUE(q.Connect(service_.query()));
  uint16_t code = 0;
  std::string name = "x";
  ASSERT_TRUE(q.PackageQuery("42", &code, &name));
  EXPECT_EQ(code, 0x5052);
  EXPECT_EQ(name, "");
  // The connection stays for further queries.
  ASSERT_TRUE(q.PackageQuery("100201", &code, &name));
  EXPECT_EQ(name, "\xE7\xBE\xBD\xE7\xAC\x94 ix");
}
