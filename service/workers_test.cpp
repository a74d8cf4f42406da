// Several worker loops serving one service: connections spread over them and are served whole,
// a reload reaches every loop while the downloads running go on from their version, the
// metrics sum what each loop counted, an installer's session closes across loops, and the
// stop answers /healthz with 503 for its drain before anything closes.
#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "service/testing/test_client.h"
#include "service/testing/test_service.h"

namespace fs = std::filesystem;

namespace {

// The worker loop that took the connection of `socket` (-1 when the log never says).
int WorkerOf(TestService& service, const TestSocket& socket) {
  const std::string accepted = "accepted 127.0.0.1:" + std::to_string(socket.LocalPort()) + " ";
  if (!service.WaitForLog(accepted)) return -1;
  for (const std::string& line : service.Log()) {
    size_t at = line.find(accepted);
    size_t by = line.find(" by worker ", at == std::string::npos ? line.size() : at);
    if (by != std::string::npos) return std::stoi(line.substr(by + 11));
  }
  return -1;
}

// The value of the sample `series` (name with its labels, as written), or -1.
long long Sample(const std::string& text, const std::string& series) {
  size_t at = text.find("\n" + series + " ");
  if (at == std::string::npos) return -1;
  return std::stoll(text.substr(at + series.size() + 2));
}

// Lets threads wait until all of them have arrived.
class Gate {
 public:
  explicit Gate(size_t count) : left_(count) {}
  void ArriveAndWait() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (--left_ == 0) opened_.notify_all();
    opened_.wait(lock, [this] { return left_ == 0; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable opened_;
  size_t left_;
};

// A test package of version 5.`part4`.
void WriteVersion(const std::string& dir, int part4, const std::vector<TestFile>& files) {
  WriteTestPackage(dir, "100201", files);
  std::ifstream in(dir + "/package.json");
  std::string json((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::string from = "\"version_part4\": 17";
  ASSERT_NE(json.find(from), std::string::npos) << json;
  json.replace(json.find(from), from.size(), "\"version_part4\": " + std::to_string(part4));
  std::ofstream(dir + "/package.json", std::ios::binary | std::ios::trunc) << json;
}

ServiceOptions WithWorkers(const std::vector<std::string>& packages, size_t workers) {
  ServiceOptions options;
  options.packages = packages;
  options.workers = workers;
  return options;
}

}  // namespace

TEST(Workers, SixtyFourConcurrentDownloadsAreServedWholeByEveryLoop) {
  TempDir dir;
  const std::string a = TestBytes(1 << 20, 1), b = TestBytes(70000, 2);
  WriteTestPackage(dir.path(), "100201", {{"Data\\", "a.dat", a}, {"", "b.dat", b}});
  TestService service;
  ASSERT_TRUE(service.Start(WithWorkers({dir.path()}, 4)));
  EXPECT_EQ(service.service().worker_count(), 4u);
  UpdateReply reply;
  std::vector<ModuleRecord> records;
  ASSERT_TRUE(CheckExchange(service.update(), "100201", &reply, &records));

  // Every client has asked for its files before any reads them, so all 64 are served at once.
  constexpr size_t kClients = 64;
  Gate all_asked(kClients);
  std::vector<std::unique_ptr<TestClient>> clients;
  std::vector<int> whole(kClients, 0);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < kClients; ++i) clients.push_back(std::make_unique<TestClient>());
  for (size_t i = 0; i < kClients; ++i) {
    threads.emplace_back([&, i] {
      TestClient& c = *clients[i];
      const bool asked = c.Link(service.download()) && c.RequestModules(records);
      all_asked.ArriveAndWait();
      std::map<std::string, std::string> files;
      whole[i] = asked && c.ReceiveModules(records, &files) && files.size() == 2 &&
                 files["Data\\a.dat"] == a && files["b.dat"] == b;
    });
  }
  for (std::thread& t : threads) t.join();
  std::set<int> loops;
  for (size_t i = 0; i < kClients; ++i) {
    EXPECT_TRUE(whole[i]) << "client " << i;
    loops.insert(WorkerOf(service, clients[i]->socket()));
  }
  EXPECT_EQ(loops, (std::set<int>{0, 1, 2, 3}));
  ASSERT_TRUE(service.WaitForLogCount("install complete: 2 module file(s)", kClients));
  EXPECT_EQ(service.service().Counts().installs_completed, kClients);
}

TEST(Workers, AReloadReachesEveryLoopWhileRunningDownloadsFinishFromTheirVersion) {
  TempDir dir;
  const std::string v1 = dir.path() + "/v1", v2 = dir.path() + "/v2";
  const std::string link = dir.path() + "/current", release = dir.path() + "/release";
  const std::string old_a = TestBytes(200000, 3), old_b = TestBytes(5000, 4);
  WriteVersion(v1, 17, {{"Data\\", "a.dat", old_a}, {"", "b.dat", old_b}});
  WriteVersion(v2, 18, {{"Data\\", "a.dat", "new a"}, {"", "b.dat", "new b"}});
  fs::create_directory_symlink(v1, link);
  // Each download's last file waits until `release` exists: they are all running at the reload.
  FaultConfig faults;
  faults.hold_last_file_until = release;
  ServiceOptions options = WithWorkers({link}, 3);
  options.faults = MakeFaultPlan(faults);
  TestService service;
  ASSERT_TRUE(service.Start(options));
  UpdateReply reply;
  std::vector<ModuleRecord> old_records;
  ASSERT_TRUE(CheckExchange(service.update(), "100201", &reply, &old_records));
  ASSERT_EQ(reply.part4, 17);

  // A running download on every loop.
  std::vector<std::unique_ptr<TestClient>> running;
  std::set<int> loops;
  for (int i = 0; i < 30 && loops.size() < 3; ++i) {
    auto c = std::make_unique<TestClient>();
    ASSERT_TRUE(c->Link(service.download()));
    ASSERT_TRUE(c->RequestModules(old_records));
    loops.insert(WorkerOf(service, c->socket()));
    running.push_back(std::move(c));
  }
  ASSERT_EQ(loops, (std::set<int>{0, 1, 2}));
  ASSERT_TRUE(service.WaitForLogCount("last module file held on purpose", running.size()));

  fs::create_directory_symlink(v2, link + ".new");
  fs::rename(link + ".new", link);
  service.service().RequestReload();
  ASSERT_TRUE(service.WaitForLog("reload done"));

  // New connections get the new version, on every loop. They stay open so that the next one
  // goes to another loop.
  std::vector<std::unique_ptr<TestClient>> checks;
  loops.clear();
  for (int i = 0; i < 30 && loops.size() < 3; ++i) {
    auto c = std::make_unique<TestClient>();
    ASSERT_TRUE(c->LogIn(service.update()));
    ASSERT_TRUE(c->UpdateCheck("100201", 0, 0, &reply));
    EXPECT_EQ(reply.part4, 18);
    loops.insert(WorkerOf(service, c->socket()));
    checks.push_back(std::move(c));
  }
  EXPECT_EQ(loops, (std::set<int>{0, 1, 2}));

  ASSERT_TRUE(WriteFileBytes(release, "go"));
  for (auto& c : running) {
    std::map<std::string, std::string> files;
    ASSERT_TRUE(c->ReceiveModules(old_records, &files));
    EXPECT_TRUE(files["Data\\a.dat"] == old_a);
    EXPECT_TRUE(files["b.dat"] == old_b);
  }
  std::vector<ModuleRecord> new_records;
  int messages = 0;
  ASSERT_TRUE(checks[0]->ModuleCheck("100201", 5, 18, &new_records, &messages));
  TestClient next;
  std::map<std::string, std::string> files;
  ASSERT_TRUE(next.Link(service.download()));
  ASSERT_TRUE(next.DownloadModules(new_records, &files));
  EXPECT_EQ(files["Data\\a.dat"], "new a");
  EXPECT_EQ(service.service().Counts().reloads, 1u);
}

TEST(Workers, MetricsSumWhatEveryLoopCounted) {
  TempDir dir;
  WriteTestPackage(dir.path(), "100201", {{"", "a.dat", "a"}});
  ServiceOptions options = WithWorkers({dir.path()}, 3);
  options.metrics_given = true;
  TestService service;
  ASSERT_TRUE(service.Start(options));

  // Six installers checking for updates, each connection open until all are made, so that they
  // spread over the loops.
  std::vector<std::unique_ptr<TestClient>> checks;
  std::set<int> loops;
  for (int i = 0; i < 6; ++i) {
    auto c = std::make_unique<TestClient>();
    UpdateReply reply;
    ASSERT_TRUE(c->LogIn(service.update()));
    ASSERT_TRUE(c->UpdateCheck("100201", 0, 0, &reply));
    loops.insert(WorkerOf(service, c->socket()));
    checks.push_back(std::move(c));
  }
  EXPECT_EQ(loops, (std::set<int>{0, 1, 2}));
  service.service().RequestReload();
  ASSERT_TRUE(service.WaitForLog("reload done"));

  const std::string text = HttpGet("127.0.0.1", service.metrics().port, "/metrics");
  EXPECT_EQ(Sample(text, "quillbank_connections_total{endpoint=\"update\"}"), 6) << text;
  EXPECT_EQ(Sample(text, "quillbank_connections_open{endpoint=\"update\"}"), 6);
  EXPECT_EQ(Sample(text, "quillbank_messages_received_total{code=\"0x3010\"}"), 6);
  EXPECT_EQ(Sample(text, "quillbank_messages_received_total{code=\"0x3051\"}"), 6);
  EXPECT_EQ(Sample(text, "quillbank_messages_sent_total{code=\"0x3052\"}"), 6);
  EXPECT_EQ(Sample(text, "quillbank_reloads_total"), 1);  // counted by the accepting loop
  // The metrics connection itself is served where it was accepted, and counted there.
  EXPECT_EQ(Sample(text, "quillbank_connections_open{endpoint=\"metrics\"}"), 1);
  EXPECT_GT(Sample(text, "quillbank_bytes_sent_total{endpoint=\"update\"}"), 0);
}

TEST(Workers, AnInstallersSessionClosesAcrossLoops) {
  TempDir dir;
  WriteTestPackage(dir.path(), "100201", {{"", "a.exe", TestBytes(5000, 1)}});
  FaultConfig faults;
  faults.drop_all_after_download = true;
  ServiceOptions options = WithWorkers({dir.path()}, 2);
  options.faults = MakeFaultPlan(faults);
  TestService service;
  ASSERT_TRUE(service.Start(options));
  TestClient check;
  ASSERT_TRUE(check.LogIn(service.update()));
  UpdateReply reply;
  ASSERT_TRUE(check.UpdateCheck("100201", 0, 0, &reply));
  std::vector<ModuleRecord> records;
  int messages = 0;
  ASSERT_TRUE(check.ModuleCheck("100201", reply.part3, reply.part4, &records, &messages));
  // While the update connection is open, the next connection goes to the other loop.
  TestClient dl;
  ASSERT_TRUE(dl.Link(service.download()));
  ASSERT_NE(WorkerOf(service, dl.socket()), WorkerOf(service, check.socket()));
  std::map<std::string, std::string> files;
  ASSERT_TRUE(dl.DownloadModules(records, &files));
  EXPECT_TRUE(dl.socket().WaitClosed());
  EXPECT_TRUE(check.socket().WaitClosed());
  EXPECT_TRUE(service.LogHas("closed: dropped on purpose with its session"));
}

TEST(Workers, AStopAnswersHealthz503ForItsDrainAndStillServes) {
  TempDir dir;
  WriteTestPackage(dir.path(), "100201", {{"", "a.dat", "a"}});
  ServiceOptions options = WithWorkers({dir.path()}, 2);
  options.metrics_given = true;
  options.drain_ms = 3600 * 1000;  // longer than any test: it ends only when asked again
  TestService service;
  ASSERT_TRUE(service.Start(options));
  const uint16_t metrics = service.metrics().port;
  std::string health = HttpGet("127.0.0.1", metrics, "/healthz");
  EXPECT_EQ(health.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << health;
  EXPECT_EQ(health.substr(health.size() - 3), "ok\n");
  TestClient open_one;  // connected before the stop, open through the drain
  ASSERT_TRUE(open_one.LogIn(service.update()));

  service.service().Stop();
  ASSERT_TRUE(service.WaitForLog("draining for 3600000 ms"));
  EXPECT_TRUE(service.service().stopping());
  health = HttpGet("127.0.0.1", metrics, "/healthz");
  EXPECT_EQ(health.rfind("HTTP/1.1 503 Service Unavailable\r\n", 0), 0u) << health;
  // Installers are still served meanwhile, old connections and new ones.
  UpdateReply reply;
  ASSERT_TRUE(open_one.UpdateCheck("100201", 0, 0, &reply));
  EXPECT_EQ(reply.part4, 17);
  std::vector<ModuleRecord> records;
  EXPECT_TRUE(CheckExchange(service.update(), "100201", &reply, &records));
  EXPECT_EQ(HttpGet("127.0.0.1", metrics, "/metrics").rfind("HTTP/1.1 200", 0), 0u);

  // Asked again, it stops at once.
  service.service().Stop();
  EXPECT_TRUE(open_one.socket().WaitClosed());
  EXPECT_TRUE(service.LogHas("stop asked again: closing every connection now"));
}

TEST(Workers, TheDrainEndsByItselfAndEveryLoopCloses) {
  TempDir dir;
  WriteTestPackage(dir.path(), "100201", {{"", "a.dat", "a"}});
  ServiceOptions options = WithWorkers({dir.path()}, 2);
  options.drain_ms = 1;
  TestService service;
  ASSERT_TRUE(service.Start(options));
  // One connection on each loop.
  TestClient first, second;
  ASSERT_TRUE(first.LogIn(service.update()));
  ASSERT_TRUE(second.LogIn(service.update()));
  ASSERT_NE(WorkerOf(service, first.socket()), WorkerOf(service, second.socket()));

  service.service().Stop();
  EXPECT_TRUE(first.socket().WaitClosed());
  EXPECT_TRUE(second.socket().WaitClosed());
  EXPECT_TRUE(service.WaitForLog("drain over: closing every connection"));
  EXPECT_TRUE(service.LogHas("closed: service stopping"));
}
