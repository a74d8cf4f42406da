// A client that sends many requests and reads none of their replies: the service queues only
// up to its bound for the connection (the high-water mark and one reply), holds the other
// requests unhandled, and answers every one, in order, once the client reads.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "service/server.h"
#include "service/testing/test_client.h"
#include "service/testing/test_service.h"
#include "service/testing/test_socket.h"

namespace {

constexpr size_t kBigModules = 6000;  // a list larger than the high-water mark

// Install names of 49 characters that hardly compress, so that a module list is big on the wire.
std::vector<TestFile> ManyModules(size_t count) {
  static const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  const std::string noise = TestBytes(count * 40, 11);
  std::vector<TestFile> files;
  for (size_t i = 0; i < count; ++i) {
    std::string name = std::to_string(i) + "-";
    while (name.size() < 40) {
      name += kAlphabet[static_cast<uint8_t>(noise[i * 40 + name.size()]) % 36];
    }
    files.push_back({"Data\\", name + ".bin", ""});
  }
  return files;
}

// The value of the sample `series` (name with its labels, as written), or -1.
long long Sample(const std::string& text, const std::string& series) {
  size_t at = text.find("\n" + series + " ");
  if (at == std::string::npos) return -1;
  return std::stoll(text.substr(at + series.size() + 2));
}

class BackpressureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    big_ = ManyModules(kBigModules);
    WriteTestPackage(big_dir_.path(), "100201", big_);
    WriteTestPackage(small_dir_.path(), "100202", {{"", "small.exe", "x"}});
    ServiceOptions options;
    options.packages = {big_dir_.path(), small_dir_.path()};
    options.metrics_given = true;
    ASSERT_TRUE(service_.Start(options));
  }
  std::string Metrics() {
    return HttpGet(service_.metrics().host, service_.metrics().port, "/metrics");
  }

  TempDir big_dir_, small_dir_;
  std::vector<TestFile> big_;
  TestService service_;
};

}  // namespace

TEST_F(BackpressureTest, UnreadRepliesHoldBackTheRequestsBehindThemAndAllArriveInOrder) {
  // The size of one big module list as sent: what a lone module check brings in.
  TestClient once;
  ASSERT_TRUE(once.LogIn(service_.update()));
  const uint64_t before = once.received_bytes();
  std::vector<ModuleRecord> records;
  int messages = 0;
  ASSERT_TRUE(once.ModuleCheck("100201", 5, 17, &records, &messages));
  ASSERT_EQ(records.size(), kBigModules);
  const long long reply = static_cast<long long>(once.received_bytes() - before);
  ASSERT_GT(reply, static_cast<long long>(ServerLimits().high_water));

  // 200 module checks of the big package in one write, with one of the small package after
  // every 25th to show the order; nothing is read meanwhile.
  TestClient client;
  ASSERT_TRUE(client.LogIn(service_.update()));
  std::string requests;
  std::vector<bool> big_asked;
  for (int i = 1; i <= 200; ++i) {
    requests += client.Frame(TestClient::ModuleCheckRequest("100201", 5, 17), '6');
    big_asked.push_back(true);
    if (i % 25 == 0) {
      requests += client.Frame(TestClient::ModuleCheckRequest("100202", 5, 17), '6');
      big_asked.push_back(false);
    }
  }
  ASSERT_TRUE(client.SendRaw(requests));

  // Once the socket buffers and the outbox are full, the requests read wait unhandled.
  EXPECT_TRUE(service_.WaitForLog("requests held back"));
  const long long bound = static_cast<long long>(ServerLimits().high_water) + reply;
  std::string text = Metrics();
  const long long peak = Sample(text, "quillbank_outbox_peak_bytes{endpoint=\"update\"}");
  EXPECT_GE(peak, reply) << text;
  EXPECT_LE(peak, bound) << "one reply: " << reply;
  EXPECT_LT(Sample(text, "quillbank_messages_received_total{code=\"0x3061\"}"),
            1 + static_cast<long long>(big_asked.size()));

  // Reading drains them all, each list whole and in the order asked.
  for (size_t i = 0; i < big_asked.size(); ++i) {
    SCOPED_TRACE("reply " + std::to_string(i));
    std::vector<ModuleRecord> list;
    ASSERT_TRUE(client.ReceiveModuleList(&list, &messages));
    if (!big_asked[i]) {
      ASSERT_EQ(list.size(), 1u);
      EXPECT_STREQ(list[0].PackageKey, "100202");
      continue;
    }
    ASSERT_EQ(list.size(), kBigModules);
    for (size_t m = 0; m < kBigModules; ++m) {
      ASSERT_EQ(std::string(list[m].Name, strnlen(list[m].Name, 50)),
                "Data\\" + big_[m].file_part);
    }
  }
  text = Metrics();
  EXPECT_EQ(Sample(text, "quillbank_messages_received_total{code=\"0x3061\"}"),
            1 + static_cast<long long>(big_asked.size()));
  EXPECT_LE(Sample(text, "quillbank_outbox_peak_bytes{endpoint=\"update\"}"), bound);
  // The connection is still served.
  UpdateReply update;
  EXPECT_TRUE(client.UpdateCheck("100202", 0, 0, &update));
  EXPECT_TRUE(update.proceed);
}
