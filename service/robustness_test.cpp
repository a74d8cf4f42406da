// Requests no installer sends close only their own connection while good downloads go on, and
// silent connections time out. (Many installers at once with one stalled: clients_exchange_test,
// with the installer's own clients.)
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <thread>

#include "base/coding.h"
#include "wire/frame_format.h"
#include "net/protocol.h"
#include "wire/records.h"
#include "service/testing/test_client.h"
#include "service/testing/test_service.h"

namespace {

class RobustnessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    files_ = {{"", "a.exe", TestBytes(200000, 1)},
              {"Data\\", "b.bin", TestBytes(350001, 2)},
              {"Data\\", "c.bin", TestBytes(3, 3)},
              // Listed, never asked for by an installer (kind "D").
              {"Docs\\", "never.bin", TestBytes(1000, 4), 'D'}};
    WriteTestPackage(temp_.path(), "100201", files_, "PK\x05\x06" + std::string(18, '\0'));
    ASSERT_TRUE(service_.Start({temp_.path()}));
    ASSERT_TRUE(CheckExchange(service_.update(), "100201", &reply_, &records_));
  }

  // A whole download on a connection of its own; true when every file arrived intact.
  bool Download() {
    TestClient dl;
    std::map<std::string, std::string> got;
    if (!dl.Link(service_.download(), 30000) || !dl.DownloadModules(records_, &got)) {
      return false;
    }
    for (const TestFile& f : files_) {
      if (f.kind != 'D' && got[f.folder_part + f.file_part] != f.bytes) return false;
    }
    return got.size() == 3;
  }

  TempDir temp_;
  std::vector<TestFile> files_;
  TestService service_;
  UpdateReply reply_;
  std::vector<ModuleRecord> records_;
};

std::string Frame(char type, const std::vector<uint8_t>& message, const CipherContext* key) {
  std::vector<uint8_t> frame(kFrameBufferSize);
  size_t n = BuildFrame(message.data(), message.size(), type, key, frame.data());
  return std::string(reinterpret_cast<char*>(frame.data()), n);
}

std::string Header(char type, uint32_t length) {
  uint8_t h[6];
  EncodeFrameHeader(type, length, h);
  return std::string(reinterpret_cast<char*>(h), 6);
}

std::vector<uint8_t> AuthRecord() {
  std::vector<uint8_t> record(kAuthentLinkRecordSize, 0);
  std::memcpy(&record[kAuthentLinkTextOffset], kAuthentLinkText, sizeof(kAuthentLinkText));
  return record;
}

struct BadCase {
  const char* name;
  bool link_first;  // after a successful authentication link
  EndpointKind endpoint;
  std::function<void(TestClient&)> send;
  const char* logged;  // part of the close reason
};

}  // namespace

TEST_F(RobustnessTest, MalformedRequestsCloseOnlyTheirConnection) {
  CipherContext fixed;
  fixed.SetKey("k7#m.q9;z!w4,p&x", 16);
  auto auth = [&](std::vector<uint8_t> record, uint16_t count, uint32_t size) {
    return TestClient::Request(kMsgAuthentLinkRequest, count, size, record);
  };
  std::vector<BadCase> cases = {
      {"plain garbage", false, EndpointKind::kDownload,
       [](TestClient& c) { c.SendRaw("GET / HTTP/1.0\r\n\r\n"); }, "not a frame"},
      {"length 0", false, EndpointKind::kUpdate,
       [](TestClient& c) { c.SendRaw(Header('4', 0)); }, "length out of range"},
      {"oversized length", false, EndpointKind::kDownload,
       [](TestClient& c) { c.SendRaw(Header('4', 0x20000) + std::string(100, 'x')); },
       "length out of range"},
      {"unknown frame type", false, EndpointKind::kUpdate,
       [](TestClient& c) { c.SendRaw(Header('7', 4) + "abcd"); }, "unknown type"},
      {"payload that does not decompress", false, EndpointKind::kUpdate,
       [](TestClient& c) { c.SendRaw(Header('2', 8) + std::string(8, '\x7f')); },
       "does not decode"},
      {"plain frame for the link", false, EndpointKind::kUpdate,
       [&](TestClient& c) { c.SendRaw(Frame('1', auth(AuthRecord(), 1, 45), nullptr)); },
       "in a type 1 frame"},
      {"link with a record of 46 bytes", false, EndpointKind::kDownload,
       [&](TestClient& c) {
         std::vector<uint8_t> r = AuthRecord();
         r.push_back(0);
         c.SendRaw(Frame('4', auth(r, 1, 46), &fixed));
       },
       "records of 46 bytes"},
      {"link longer than its records", false, EndpointKind::kDownload,
       [&](TestClient& c) {
         std::vector<uint8_t> m = auth(AuthRecord(), 1, 45);
         m.push_back(1);
         c.SendRaw(Frame('4', m, &fixed));
       },
       "120 bytes where 119 were due"},
      {"link without its text", false, EndpointKind::kUpdate,
       [&](TestClient& c) {
         c.SendRaw(Frame('4', auth(std::vector<uint8_t>(45, 0), 1, 45), &fixed));
       },
       "without its fixed text"},
      {"message shorter than a header", false, EndpointKind::kUpdate,
       [&](TestClient& c) { c.SendRaw(Frame('4', std::vector<uint8_t>(20, 0), &fixed)); },
       "shorter than its header"},
      {"login before the link", false, EndpointKind::kUpdate,
       [](TestClient& c) {
         c.SendMessage(TestClient::Request(kMsgLoginRequest, 1, 73,
                                           std::vector<uint8_t>(73, 0)), '6');
       },
       "before the authentication link"},
      {"unknown code", true, EndpointKind::kUpdate,
       [](TestClient& c) { c.SendMessage(TestClient::Request(0x4444, 0, 0, {}), '6'); },
       "unexpected message 0x4444"},
      {"download request on the update endpoint", true, EndpointKind::kUpdate,
       [](TestClient& c) { c.SendMessage(TestClient::Request(0x3071, 0, 74, {}), '6'); },
       "unexpected message 0x3071 on the update endpoint"},
      {"update check on the download endpoint", true, EndpointKind::kDownload,
       [](TestClient& c) {
         c.SendMessage(TestClient::Request(0x3051, 1, 19, std::vector<uint8_t>(19, 0)), '6');
       },
       "unexpected message 0x3051 on the download endpoint"},
      {"second link", true, EndpointKind::kDownload,
       [&](TestClient& c) { c.SendRaw(Frame('4', auth(AuthRecord(), 1, 45), &fixed)); },
       "a second authentication link"},
      {"login under the built-in key", true, EndpointKind::kUpdate,
       [&](TestClient& c) {
         c.SendRaw(Frame('4', TestClient::Request(kMsgLoginRequest, 1, 73,
                                                  std::vector<uint8_t>(73, 0)), &fixed));
       },
       "0x3010 in a type 4 frame"},
      {"user name without its end", true, EndpointKind::kUpdate,
       [](TestClient& c) {
         c.SendMessage(TestClient::Request(kMsgLoginRequest, 1, 73,
                                           std::vector<uint8_t>(73, 'k')), '6');
       },
       "not terminated within its field"},
      {"more records counted than sent", true, EndpointKind::kDownload,
       [](TestClient& c) {
         c.SendMessage(TestClient::Request(kMsgDownloadModule, 3, 74,
                                           std::vector<uint8_t>(148, 0)), '6');
       },
       "222 bytes where 296 were due"},
      {"unknown module", true, EndpointKind::kDownload,
       [](TestClient& c) {
         std::vector<uint8_t> r(74, 0);
         std::memcpy(&r[4], "100201", 6);
         std::memcpy(&r[15], "..\\..\\evil", 10);
         c.SendMessage(TestClient::Request(kMsgDownloadModule, 1, 74, r), '6');
       },
       "unknown module"},
      {"another base archive", true, EndpointKind::kDownload,
       [](TestClient& c) {
         std::vector<uint8_t> r(21, 0);
         std::memcpy(&r[0], "..\\boot.ini", 11);
         c.SendMessage(TestClient::Request(kMsgDownloadBaseZip, 1, 21, r), '6');
       },
       "unknown base archive"},
      {"heartbeat with a wrong record", true, EndpointKind::kUpdate,
       [&](TestClient& c) {
         c.SendRaw(Frame('4', TestClient::Request(kMsgHeartbeat, 2, 4,
                                                  std::vector<uint8_t>(8, 0)), &fixed));
       },
       "0x0011 with 2 records"},
  };

  // A download runs the whole time; every bad connection must leave it alone.
  std::atomic<bool> downloading{true};
  std::atomic<int> downloads{0}, failures{0};
  std::thread good([&] {
    while (downloading) (Download() ? downloads : failures)++;
  });
  for (const BadCase& bad : cases) {
    SCOPED_TRACE(bad.name);
    TestClient c;
    ListenAddress address =
        bad.endpoint == EndpointKind::kUpdate ? service_.update() : service_.download();
    ASSERT_TRUE(c.Connect(address));
    if (bad.link_first) {
      int32_t error = -1;
      ASSERT_TRUE(c.AuthentLink(&error));
    }
    bad.send(c);
    EXPECT_TRUE(c.socket().WaitClosed());
    EXPECT_TRUE(service_.LogHas(bad.logged)) << bad.logged;
  }
  downloading = false;
  good.join();
  EXPECT_GT(downloads.load(), 0);
  EXPECT_EQ(failures.load(), 0);
  EXPECT_TRUE(Download());
}

TEST_F(RobustnessTest, SilentConnectionsTimeOut) {
  service_.Stop();
  TestService quick;
  ASSERT_TRUE(quick.Start({temp_.path()}, {}, /*idle_timeout_s=*/1));
  TestClient idle;
  ASSERT_TRUE(idle.Connect(quick.update()));
  EXPECT_TRUE(idle.socket().WaitClosed());
  EXPECT_TRUE(quick.LogHas("closed: idle for 1 s"));
}
