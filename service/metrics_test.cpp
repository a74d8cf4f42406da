// The metrics endpoint: the HTTP responder's answers to what it serves and what it refuses, the
// counts a whole install leaves behind, and health checks that answer whatever else is open.
#include <gtest/gtest.h>

#include <cstdio>

#include <filesystem>
#include <fstream>

#include "service/metrics_handler.h"
#include "service/server.h"
#include "service/service_log.h"
#include "service/testing/test_client.h"
#include "service/testing/test_service.h"

namespace {

// Sends `request` and reads the answer until the service closes the connection.
std::string Exchange(const ListenAddress& address, const std::string& request) {
  TestSocket socket;
  if (!socket.Connect(address.host, address.port)) return "";
  if (!socket.Send(request)) return "";
  std::string answer;
  for (std::string more; !(more = socket.ReceiveSome()).empty();) answer += more;
  return answer;
}

std::string Get(const ListenAddress& address, const std::string& path = "/metrics") {
  return Exchange(address, "GET " + path + " HTTP/1.1\r\nHost: test\r\n\r\n");
}

// The value of the sample `series` (name with its labels, as written), or -1.
long long Sample(const std::string& text, const std::string& series) {
  size_t at = text.find("\n" + series + " ");
  if (at == std::string::npos) return -1;
  return std::stoll(text.substr(at + series.size() + 2));
}

class ResponderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetServiceLogSink([](const std::string&) {});
    server_ = std::make_unique<Server>(ServerLimits(), [this](const ConnectionInfo& info) {
      return std::make_unique<MetricsHandler>([] { return std::string("up 1\n"); },
                                              [this] { return serving_.load(); }, info);
    });
    std::string error;
    ASSERT_TRUE(server_->Listen(EndpointKind::kMetrics, {"127.0.0.1", 0}, &error)) << error;
    address_ = server_->bound()[0];
    thread_ = std::thread([this] { server_->Run(); });
  }
  void TearDown() override {
    server_->Stop();
    thread_.join();
    SetServiceLogSink(nullptr);
  }
  std::unique_ptr<Server> server_;
  std::thread thread_;
  ListenAddress address_;
  std::atomic<bool> serving_{true};
};

}  // namespace

TEST_F(ResponderTest, AnswersGetMetricsAndNothingElse) {
  std::string ok = Get(address_);
  EXPECT_EQ(ok.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << ok;
  EXPECT_NE(ok.find("Content-Type: text/plain; version=0.0.4"), std::string::npos);
  EXPECT_NE(ok.find("Content-Length: 5\r\n"), std::string::npos);
  EXPECT_EQ(ok.substr(ok.size() - 9), "\r\n\r\nup 1\n");
  // A query string is not a different resource.
  EXPECT_EQ(Get(address_, "/metrics?x=1").rfind("HTTP/1.1 200", 0), 0u);

  EXPECT_EQ(Get(address_, "/").rfind("HTTP/1.1 404", 0), 0u);
  EXPECT_EQ(Get(address_, "/metrics/../etc").rfind("HTTP/1.1 404", 0), 0u);
  std::string post = Exchange(address_, "POST /metrics HTTP/1.1\r\nContent-Length: 0\r\n\r\n");
  EXPECT_EQ(post.rfind("HTTP/1.1 405", 0), 0u) << post;
  EXPECT_NE(post.find("Allow: GET\r\n"), std::string::npos);
  EXPECT_EQ(Exchange(address_, "HEAD /metrics HTTP/1.1\r\n\r\n").rfind("HTTP/1.1 405", 0), 0u);
  EXPECT_EQ(Exchange(address_, "hello\r\n\r\n").rfind("HTTP/1.1 400", 0), 0u);
  EXPECT_EQ(Exchange(address_, "GET /metrics\r\n\r\n").rfind("HTTP/1.1 400", 0), 0u);
}

TEST_F(ResponderTest, HealthzSaysWhetherTheServiceIsServing) {
  std::string ok = Get(address_, "/healthz");
  EXPECT_EQ(ok.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << ok;
  EXPECT_NE(ok.find("Content-Type: text/plain; charset=utf-8\r\n"), std::string::npos);
  EXPECT_EQ(ok.substr(ok.size() - 7), "\r\n\r\nok\n");
  EXPECT_EQ(Exchange(address_, "HEAD /healthz HTTP/1.1\r\n\r\n").rfind("HTTP/1.1 405", 0), 0u);

  serving_ = false;
  std::string stopping = Get(address_, "/healthz?probe=1");
  EXPECT_EQ(stopping.rfind("HTTP/1.1 503 Service Unavailable\r\n", 0), 0u) << stopping;
  EXPECT_EQ(stopping.substr(stopping.size() - 13), "\r\n\r\nstopping\n");
  // The metrics are still there for whoever watches the stop.
  EXPECT_EQ(Get(address_).rfind("HTTP/1.1 200", 0), 0u);
}

TEST_F(ResponderTest, WaitsForTheWholeHeadAndRefusesAnOversizedOne) {
  TestSocket socket;
  ASSERT_TRUE(socket.Connect(address_.host, address_.port));
  ASSERT_TRUE(socket.Send("GET /metr"));
  ASSERT_TRUE(socket.Send("ics HTTP/1.0\n\n"));  // bare line feeds are taken too
  std::string answer;
  for (std::string more; !(more = socket.ReceiveSome()).empty();) answer += more;
  EXPECT_EQ(answer.rfind("HTTP/1.1 200", 0), 0u) << answer;

  // A head that never ends is refused once it passes the bound, and the connection closes.
  std::string big = "GET /metrics HTTP/1.1\r\nX-Filler: " +
                    std::string(MetricsHandler::kMaxRequest, 'a') + "\r\n";
  std::string refused = Exchange(address_, big);
  EXPECT_EQ(refused.rfind("HTTP/1.1 431", 0), 0u) << refused.substr(0, 100);
}

TEST(Metrics, AWholeInstallShowsItsCounts) {
  TempDir dir;
  const std::string data = TestBytes(300000, 7);
  WriteTestPackage(dir.path(), "100201",
                   {{"Data\\", "a.dat", data}, {"", "run.exe", TestBytes(5000, 8)}},
                   StoredZip({{"x.ini", "x=1"}}));
  TestService service;
  ServiceOptions options;
  options.packages = {dir.path()};
  options.metrics_given = true;
  // The early download below must end before everything went out, however fast the loop sends
  // (the whole package fits the sockets' buffers): its last file waits for a file that is
  // removed before it asks. Until then the file is there, and nothing waits.
  const std::string release = dir.path() + "/release";
  ASSERT_TRUE(WriteFileBytes(release, "go"));
  FaultConfig faults;
  faults.hold_last_file_until = release;
  options.faults = MakeFaultPlan(faults);
  ASSERT_TRUE(service.Start(options));

  UpdateReply reply;
  std::vector<ModuleRecord> records;
  ASSERT_TRUE(CheckExchange(service.update(), "100201", &reply, &records));
  TestClient dl;
  ASSERT_TRUE(dl.Link(service.download()));
  std::string base;
  ASSERT_TRUE(dl.DownloadBase(&base));
  std::map<std::string, std::string> files;
  ASSERT_TRUE(dl.DownloadModules(records, &files));
  ASSERT_TRUE(files["Data\\a.dat"] == data);

  // Still connected: the install is complete once everything asked for went out. The worker
  // that sent it counts it right after its last bytes, maybe after they arrived here.
  ASSERT_TRUE(service.WaitForLog("install complete: 2 module file(s)"));
  std::string text = Get(service.metrics());
  EXPECT_EQ(Sample(text, "quillbank_installs_started_total"), 1) << text;
  EXPECT_EQ(Sample(text, "quillbank_installs_completed_total"), 1);
  EXPECT_EQ(text.find("quillbank_installs_failed_total{"), std::string::npos);
  // Its two module files, in the histogram of files per install.
  EXPECT_EQ(Sample(text, "quillbank_install_module_files_count"), 1);
  EXPECT_EQ(Sample(text, "quillbank_install_module_files_sum"), 2);
  EXPECT_EQ(Sample(text, "quillbank_install_module_files_bucket{le=\"1\"}"), 0);
  EXPECT_EQ(Sample(text, "quillbank_install_module_files_bucket{le=\"10\"}"), 1);
  EXPECT_EQ(Sample(text, "quillbank_install_module_files_bucket{le=\"+Inf\"}"), 1);
  EXPECT_EQ(Sample(text, "quillbank_connections_open{endpoint=\"download\"}"), 1);
  EXPECT_EQ(Sample(text, "quillbank_connections_total{endpoint=\"update\"}"), 1);
  EXPECT_EQ(Sample(text, "quillbank_connections_total{endpoint=\"metrics\"}"), 1);
  EXPECT_GT(Sample(text, "quillbank_bytes_sent_total{endpoint=\"download\"}"), 0);
  EXPECT_EQ(Sample(text, "quillbank_messages_received_total{code=\"0x3010\"}"), 1);
  EXPECT_EQ(Sample(text, "quillbank_messages_received_total{code=\"0x3071\"}"), 1);
  EXPECT_EQ(Sample(text, "quillbank_messages_received_total{code=\"0x3091\"}"), 1);
  EXPECT_EQ(Sample(text, "quillbank_messages_received_total{code=\"0x0001\"}"), 2);
  // 300000 and 5000 bytes in chunks of 1001, 96 chunks a message, each file its own messages.
  EXPECT_EQ(Sample(text, "quillbank_messages_sent_total{code=\"0x3072\"}"), 4 + 1);
  EXPECT_EQ(Sample(text, "quillbank_cache_modules"), 2);
  EXPECT_EQ(Sample(text, "quillbank_messages_sent_total{code=\"0x3052\"}"), 1);
  EXPECT_NE(text.find("quillbank_package_info{number=\"100201\",version=\"5.17\",modules=\"2\","
                      "announced=\"1\"} 1"),
            std::string::npos);
  EXPECT_EQ(Sample(text, "quillbank_version_files_total{package=\"100201\",version=\"5.17\"}"), 2);
  EXPECT_EQ(Sample(text, "quillbank_version_bytes_total{package=\"100201\",version=\"5.17\"}"),
            305000);

  // A download that ends early is a failed install, with its reason; a bad request is refused.
  ASSERT_EQ(std::remove(release.c_str()), 0);
  TestClient early;
  ASSERT_TRUE(early.Link(service.download()));
  ASSERT_TRUE(early.RequestModules(records));
  early.socket().Close();
  TestClient bad;
  ASSERT_TRUE(bad.Link(service.download()));
  ASSERT_TRUE(bad.SendMessage(TestClient::Request(0x3051, 0, 0, {}), '6'));
  EXPECT_TRUE(bad.socket().WaitClosed());
  // The early close is seen by the loop on its own time: wait for its count. The service sees
  // an end of stream, or a reset when replies were already arriving at the closed socket.
  auto failed = [&] {
    long long n = 0;
    for (const char* reason : {"client_closed", "network_error"}) {
      n += std::max(0LL, Sample(text, std::string("quillbank_installs_failed_total{reason=\"") +
                                          reason + "\"}"));
    }
    return n;
  };
  for (int i = 0; i < 3000 && failed() == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    text = Get(service.metrics());
  }
  EXPECT_EQ(failed(), 1) << text;
  EXPECT_EQ(Sample(text, "quillbank_installs_started_total"), 2);
  EXPECT_EQ(Sample(text, "quillbank_requests_refused_total{reason=\"bad_request\"}"), 1);
  EXPECT_EQ(Sample(text, "quillbank_messages_received_total{code=\"0x3051\"}"), 2);
}

// Health checks have slots of their own: installers filling --max-connections, and silent
// clients filling the metrics endpoint's own budget, leave /healthz answering.
TEST(Metrics, HealthzAnswersWithEveryInstallerAndMetricsSlotTaken) {
  TempDir dir;
  WriteTestPackage(dir.path(), "100201", {{"", "run.exe", "x"}});
  TestService service;
  ServiceOptions options;
  options.packages = {dir.path()};
  options.metrics_given = true;
  options.max_connections = 2;
  // Longer than the test: a slot is freed only by a new connection taking it.
  options.metrics_idle_timeout_s = 3600;
  ASSERT_TRUE(service.Start(options));

  const ListenAddress update = service.update();
  TestSocket installers[2];
  for (TestSocket& s : installers) ASSERT_TRUE(s.Connect(update.host, update.port));
  TestSocket turned_away;
  ASSERT_TRUE(turned_away.Connect(update.host, update.port));
  EXPECT_TRUE(turned_away.WaitClosed());
  EXPECT_TRUE(service.LogHas("refused 127.0.0.1:"));

  const ListenAddress metrics = service.metrics();
  std::vector<TestSocket> silent(options.metrics_connections);
  for (TestSocket& s : silent) ASSERT_TRUE(s.Connect(metrics.host, metrics.port));
  ASSERT_TRUE(service.WaitForLogCount(
      " accepted 127.0.0.1:", std::size(installers) + options.metrics_connections));

  const std::string health = Get(metrics, "/healthz");
  EXPECT_EQ(health.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << health;
  EXPECT_EQ(health.substr(health.size() - 7), "\r\n\r\nok\n");
  // The one silent longest gave up its place; the installers kept theirs.
  EXPECT_TRUE(silent[0].WaitClosed());
  EXPECT_TRUE(service.LogHas("its place taken by a new connection"));
  EXPECT_FALSE(service.LogHas("update#1 closed") || service.LogHas("update#2 closed"));
}

TEST(Metrics, SilentMetricsConnectionsTimeOutLongBeforeInstallers) {
  TempDir dir;
  WriteTestPackage(dir.path(), "100201", {{"", "run.exe", "x"}});
  TestService service;
  ServiceOptions options;
  options.packages = {dir.path()};
  options.metrics_given = true;
  options.metrics_idle_timeout_s = 1;
  ASSERT_TRUE(service.Start(options));
  TestClient installer;
  ASSERT_TRUE(installer.Connect(service.update()));
  TestSocket silent;
  ASSERT_TRUE(silent.Connect(service.metrics().host, service.metrics().port));
  EXPECT_TRUE(silent.WaitClosed());
  EXPECT_TRUE(service.LogHas("closed: idle for 1 s"));
  // Silent as long, the installer's connection is still served.
  int32_t error = -1;
  EXPECT_TRUE(installer.AuthentLink(&error));
  EXPECT_EQ(error, 0);
}
