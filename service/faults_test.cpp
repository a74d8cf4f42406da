// The faults the end-to-end cases rely on, each as an installer meets it. The others are shown
// with the installer's own clients (clients/clients_exchange_test.cpp).
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <thread>

#include "service/replies.h"
#include "service/testing/test_client.h"
#include "service/testing/test_service.h"

namespace {

using Clock = std::chrono::steady_clock;

class FaultsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteTestPackage(temp_.path(), "100201",
                     {{"", "a.exe", TestBytes(300 * 1001, 1)}, {"D\\", "b", TestBytes(10, 2)},
                      {"D\\", "c", TestBytes(10, 3)}, {"D\\", "d", "", 'D'}});
  }

  // Waits for the service to log `text`: woken by the line itself, not by polling.
  bool WaitForLog(const std::string& text) { return service_.WaitForLog(text); }

  TempDir temp_;
  TestService service_;
  FaultConfig faults_;
};

}  // namespace

TEST_F(FaultsTest, RefuseUpdateAnswersWithoutProceedingAndWithTheCode) {
  faults_.refuse_update = true;
  faults_.refuse_update_code = 77;
  ASSERT_TRUE(service_.Start({temp_.path()}, faults_));
  TestClient c;
  ASSERT_TRUE(c.LogIn(service_.update()));
  UpdateReply reply;
  ASSERT_TRUE(c.UpdateCheck("100201", 0, 0, &reply));
  EXPECT_FALSE(reply.proceed);
  EXPECT_EQ(reply.error_code, 77);
  EXPECT_EQ(reply.part4, 17);  // the latest version is still named
}

TEST_F(FaultsTest, RefuseLoginAnswersTheRightAccountWithAnError) {
  faults_.refuse_login = true;
  ASSERT_TRUE(service_.Start({temp_.path()}, faults_));
  TestClient c;
  int32_t error = 0;
  ASSERT_TRUE(c.Link(service_.update()));
  ASSERT_TRUE(c.Login("kivor", "kivor", &error));
  EXPECT_EQ(error, kErrorRefused);
  EXPECT_TRUE(service_.LogHas("refused on purpose"));
}

TEST_F(FaultsTest, DropAfterDeliversExactlyThatManyChunksThenCloses) {
  faults_.drop_after_chunks = 150;
  ASSERT_TRUE(service_.Start({temp_.path()}, faults_));
  UpdateReply reply;
  std::vector<ModuleRecord> records;
  ASSERT_TRUE(CheckExchange(service_.update(), "100201", &reply, &records));
  TestClient dl;
  ASSERT_TRUE(dl.Link(service_.download()));
  std::map<std::string, std::string> files;
  EXPECT_FALSE(dl.DownloadModules(records, &files));
  EXPECT_EQ(files["a.exe"].size(), 150u * 1001);
  EXPECT_TRUE(service_.LogHas("closed: dropped on purpose after 150 chunks"));
}

// An installer that comes back after each loss: the first two download connections lose their
// connection after 100 chunks, the third gets everything.
TEST_F(FaultsTest, DropConnectionsDropsOnlyTheFirstDownloadConnections) {
  faults_.drop_after_chunks = 100;
  faults_.drop_connections = 2;
  ASSERT_TRUE(service_.Start({temp_.path()}, faults_));
  UpdateReply reply;
  std::vector<ModuleRecord> records;
  ASSERT_TRUE(CheckExchange(service_.update(), "100201", &reply, &records));
  for (int connection = 1; connection <= 3; ++connection) {
    SCOPED_TRACE(connection);
    TestClient dl;
    ASSERT_TRUE(dl.Link(service_.download()));
    std::map<std::string, std::string> files;
    uint64_t chunks = 0;
    const bool complete = dl.DownloadModules(records, &files, &chunks);
    EXPECT_EQ(complete, connection == 3);
    if (connection < 3) {
      EXPECT_EQ(files["a.exe"].size(), 100u * 1001);
      EXPECT_TRUE(dl.socket().WaitClosed());
    } else {
      EXPECT_TRUE(files["a.exe"] == TestBytes(300 * 1001, 1));
      EXPECT_EQ(files["D\\c"], TestBytes(10, 3));
    }
  }
  int drops = 0;
  for (const std::string& line : service_.Log()) {
    drops += line.find("closed: dropped on purpose after 100 chunks") != std::string::npos;
  }
  EXPECT_EQ(drops, 2);
}

// The reply a reconnecting installer waits for stays back until the test lets it go; the first
// download connection and the update connections are answered at once.
TEST_F(FaultsTest, HoldReauthUntilKeepsALaterDownloadLinkWaitingForTheFile) {
  const std::string release = temp_.path() + "/release";
  faults_.hold_reauth_until = release;
  ASSERT_TRUE(service_.Start({temp_.path()}, faults_));
  TestClient first;
  ASSERT_TRUE(first.Link(service_.download()));
  TestClient update;
  ASSERT_TRUE(update.Link(service_.update()));

  TestClient again;
  ASSERT_TRUE(again.Connect(service_.download()));
  std::atomic<bool> answered{false};
  int32_t error = -1;
  bool linked = false;
  std::thread linker([&] {
    linked = again.AuthentLink(&error);
    answered = true;
  });
  EXPECT_TRUE(WaitForLog("authentication link reply held on purpose until " + release));
  // The service has decided to hold it: nothing has come, nothing comes while the file is missing.
  EXPECT_FALSE(answered.load());
  std::ofstream(release).put('x');
  linker.join();
  EXPECT_TRUE(linked);
  EXPECT_EQ(error, 0);
  // A linked connection works as any other.
  std::string base;
  EXPECT_TRUE(again.DownloadBase(&base));
}

TEST_F(FaultsTest, StallAfterFallsSilentAndOutlastsTheIdleTimeOut) {
  faults_.stall_after_chunks = 150;
  ASSERT_TRUE(service_.Start({temp_.path()}, faults_, /*idle_timeout_s=*/1));
  UpdateReply reply;
  std::vector<ModuleRecord> records;
  ASSERT_TRUE(CheckExchange(service_.update(), "100201", &reply, &records));
  TestClient dl;
  ASSERT_TRUE(dl.Link(service_.download()));
  ASSERT_TRUE(dl.RequestModules(records));
  size_t chunks = 0;
  while (chunks < 150) {
    std::vector<uint8_t> message;
    MessageHeader header;
    ASSERT_TRUE(dl.Receive(&message, &header));
    ASSERT_EQ(header.Code, kMsgFileDownloadRsp);
    chunks += header.RecordCount;
  }
  EXPECT_EQ(chunks, 150u);
  // A request now goes unanswered too.
  ASSERT_TRUE(dl.RequestModules(records));

  // A connection opened after the stall times out; the stalled one, idle for longer, does not.
  TestClient idle;
  ASSERT_TRUE(idle.Connect(service_.update()));
  EXPECT_TRUE(idle.socket().WaitClosed());
  char byte = 0;
  EXPECT_EQ(recv(dl.socket().fd(), &byte, 1, MSG_DONTWAIT), -1);
  EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK);
  EXPECT_TRUE(service_.LogHas("stalled on purpose after 150 chunks"));
  for (const std::string& line : service_.Log()) {
    EXPECT_FALSE(line.find("download#") != std::string::npos &&
                 line.find("closed") != std::string::npos)
        << line;
  }
}

TEST_F(FaultsTest, DropCheckAfterListClosesTheUpdateConnectionOnceTheListIsOut) {
  faults_.drop_check_after_list = true;
  ASSERT_TRUE(service_.Start({temp_.path()}, faults_));
  TestClient c;
  ASSERT_TRUE(c.LogIn(service_.update()));
  UpdateReply reply;
  ASSERT_TRUE(c.UpdateCheck("100201", 0, 0, &reply));
  ASSERT_TRUE(reply.proceed);
  std::vector<ModuleRecord> records;
  int messages = 0;
  ASSERT_TRUE(c.ModuleCheck("100201", reply.part3, reply.part4, &records, &messages));
  EXPECT_EQ(records.size(), 4u);
  EXPECT_TRUE(c.socket().WaitClosed());
  EXPECT_TRUE(service_.LogHas("closed: dropped on purpose after the module list"));
}

TEST_F(FaultsTest, DropAllAfterDownloadClosesTheWholeSessionOnceTheFilesAreOut) {
  faults_.drop_all_after_download = true;
  const std::string zip = StoredZip({{"qbruntime.ini", "[runtime]\r\n"}});
  WriteTestPackage(temp_.path(), "100201",
                   {{"", "a.exe", TestBytes(300 * 1001, 1)}, {"D\\", "b", TestBytes(10, 2)}},
                   zip);
  ASSERT_TRUE(service_.Start({temp_.path()}, faults_));
  TestClient check;
  ASSERT_TRUE(check.LogIn(service_.update()));
  UpdateReply reply;
  ASSERT_TRUE(check.UpdateCheck("100201", 0, 0, &reply));
  std::vector<ModuleRecord> records;
  int messages = 0;
  ASSERT_TRUE(check.ModuleCheck("100201", reply.part3, reply.part4, &records, &messages));

  TestClient dl;
  ASSERT_TRUE(dl.Link(service_.download()));
  // The base archive is only the download's first stage: the session stays.
  std::string base;
  ASSERT_TRUE(dl.DownloadBase(&base));
  EXPECT_EQ(base, zip);
  std::map<std::string, std::string> files;
  ASSERT_TRUE(dl.DownloadModules(records, &files));
  EXPECT_TRUE(files["a.exe"] == TestBytes(300 * 1001, 1));
  // Everything asked for arrived before the close, on both connections.
  EXPECT_TRUE(dl.socket().WaitClosed());
  EXPECT_TRUE(check.socket().WaitClosed());
  EXPECT_TRUE(service_.LogHas("closed: dropped on purpose with its session after the download"));
}

// With the message cache on (as by default): the second download, when the other modules come
// from the cache, is corrupted in the same way and nothing else.
TEST_F(FaultsTest, CorruptModuleFlipsTheFirstByteOfThatModuleOnly) {
  faults_.corrupt_module = "a.exe";
  ASSERT_TRUE(service_.Start({temp_.path()}, faults_));
  UpdateReply reply;
  std::vector<ModuleRecord> records;
  ASSERT_TRUE(CheckExchange(service_.update(), "100201", &reply, &records));
  const std::string original = TestBytes(300 * 1001, 1);
  for (int download = 1; download <= 2; ++download) {
    SCOPED_TRACE(download);
    TestClient dl;
    ASSERT_TRUE(dl.Link(service_.download()));
    std::map<std::string, std::string> files;
    ASSERT_TRUE(dl.DownloadModules(records, &files));
    const std::string& got = files["a.exe"];
    ASSERT_EQ(got.size(), original.size());
    size_t changed = 0;
    for (size_t i = 0; i < got.size(); ++i) changed += got[i] != original[i];
    EXPECT_EQ(changed, 1u);
    EXPECT_EQ(static_cast<uint8_t>(got[0]), static_cast<uint8_t>(original[0] ^ 0xFF));
    EXPECT_EQ(files["D\\b"], TestBytes(10, 2));
    EXPECT_EQ(files["D\\c"], TestBytes(10, 3));
  }
}

// A grown module's file arrives with one chunk of bytes no file holds, before its last; the
// other modules are as they are.
TEST_F(FaultsTest, GrowModuleSendsOneChunkMoreOfThatModuleOnly) {
  faults_.grow_module = "a.exe";
  ASSERT_TRUE(service_.Start({temp_.path()}, faults_));
  UpdateReply reply;
  std::vector<ModuleRecord> records;
  ASSERT_TRUE(CheckExchange(service_.update(), "100201", &reply, &records));
  TestClient dl;
  ASSERT_TRUE(dl.Link(service_.download()));
  std::map<std::string, std::string> files;
  ASSERT_TRUE(dl.DownloadModules(records, &files));
  EXPECT_EQ(files["a.exe"], TestBytes(300 * 1001, 1) + std::string(1001, 'X'));
  EXPECT_EQ(files["D\\b"], TestBytes(10, 2));
  EXPECT_EQ(files["D\\c"], TestBytes(10, 3));
}

// The last module file of a request waits for the release file; the download then completes
// whole.
TEST_F(FaultsTest, HoldLastFileUntilKeepsTheLastModuleForTheFile) {
  const std::string release = temp_.path() + "/release";
  faults_.hold_last_file_until = release;
  ASSERT_TRUE(service_.Start({temp_.path()}, faults_));
  UpdateReply reply;
  std::vector<ModuleRecord> records;
  ASSERT_TRUE(CheckExchange(service_.update(), "100201", &reply, &records));
  ASSERT_GE(records.size(), 2u);
  TestClient dl;
  ASSERT_TRUE(dl.Link(service_.download()));
  ASSERT_TRUE(dl.RequestModules(records));
  std::atomic<bool> done{false};
  std::map<std::string, std::string> files;
  bool received = false;
  std::thread receiver([&] {
    received = dl.ReceiveModules(records, &files);
    done = true;
  });
  EXPECT_TRUE(WaitForLog("last module file held on purpose until " + release));
  EXPECT_FALSE(done.load());
  std::ofstream(release).put('x');
  receiver.join();
  EXPECT_TRUE(received);
  EXPECT_EQ(files["a.exe"], TestBytes(300 * 1001, 1));
  EXPECT_EQ(files["D\\c"], TestBytes(10, 3));
}
