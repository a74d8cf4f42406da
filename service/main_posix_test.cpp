// The program as an operator runs it: help, exit codes, pack, and a clean stop on SIGTERM and
// SIGINT with a log line per connection event.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "service/options.h"
#include "service/testing/test_client.h"
#include "service/testing/test_service.h"

extern char** environ;
namespace fs = std::filesystem;

namespace {

// Starts the program with its output in `log`; returns the process id.
pid_t Spawn(const std::vector<std::string>& args, const std::string& log) {
  std::vector<char*> argv;
  std::string exe = QB_SERVICE_EXE;
  argv.push_back(exe.data());
  std::vector<std::string> copy = args;
  for (std::string& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = -1;
  posix_spawn(&pid, exe.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// The program's exit code, or -1 (and the program killed) when it has not ended within a minute:
// generous, so that a slow start under the sanitizers on a busy machine is never taken for a hang.
int Wait(pid_t pid) {
  int status = 0;
  for (int i = 0; i < 1200; ++i) {
    if (waitpid(pid, &status, WNOHANG) == pid) {
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return -1;
}

int RunProgram(const std::vector<std::string>& args, const std::string& log) {
  return Wait(Spawn(args, log));
}

std::string Read(const std::string& path) {
  std::ifstream in(path);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

size_t Occurrences(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// The port the log says an endpoint got (0 when it says none within 30 s).
uint16_t ListenPort(const std::string& log, const std::string& endpoint) {
  for (int i = 0; i < 600; ++i) {
    std::string text = Read(log);
    size_t at = text.find(endpoint + " listening on 127.0.0.1:");
    if (at != std::string::npos) {
      return static_cast<uint16_t>(std::stoi(text.substr(text.find(':', at) + 1)));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return 0;
}

}  // namespace

TEST(Program, HelpUsageErrorsAndPackageErrorsHaveTheirExitCodes) {
  TempDir dir;
  std::string log = dir.path() + "/out.txt";
  EXPECT_EQ(RunProgram({"--help"}, log), kExitOk);
  EXPECT_NE(Read(log).find("Usage:"), std::string::npos);
  EXPECT_EQ(RunProgram({"serve", "--bogus"}, log), kExitUsage);
  EXPECT_NE(Read(log).find("unknown option --bogus"), std::string::npos);
  EXPECT_EQ(RunProgram({}, log), kExitUsage);
  EXPECT_EQ(RunProgram({"serve", "--package", dir.path() + "/none"}, log), kExitBadPackage);
  EXPECT_NE(Read(log).find("package.json"), std::string::npos);
  EXPECT_EQ(RunProgram({"pack", dir.path() + "/none", dir.path() + "/out"}, log), kExitFailure);
}

TEST(Program, KeygenThenSignedPackAndTheirFailures) {
  TempDir dir;
  std::string log = dir.path() + "/out.txt";
  ASSERT_EQ(RunProgram({"keygen", dir.path() + "/keys"}, log), kExitOk) << Read(log);
  const std::string public_text = Read(dir.path() + "/keys/package-signing.pub");
  ASSERT_EQ(public_text.size(), 129u);
  EXPECT_NE(Read(log).find(public_text), std::string::npos);  // printed for the operator
  // The private key is never printed.
  EXPECT_EQ(Read(log).find(Read(dir.path() + "/keys/package-signing.key").substr(0, 64)),
            std::string::npos);
  EXPECT_EQ(RunProgram({"keygen", dir.path() + "/keys"}, log), kExitFailure);
  EXPECT_NE(Read(log).find("exists already"), std::string::npos);

  fs::create_directories(dir.path() + "/tree");
  std::ofstream(dir.path() + "/tree/run.exe", std::ios::binary) << TestBytes(2222, 2);
  ASSERT_EQ(RunProgram({"pack", dir.path() + "/tree", dir.path() + "/pkg", "--sign",
                        dir.path() + "/keys/package-signing.key"},
                       log),
            kExitOk)
      << Read(log);
  EXPECT_NE(Read(log).find("packed 2 modules"), std::string::npos);
  EXPECT_TRUE(fs::exists(dir.path() + "/pkg/package.manifest"));
  EXPECT_EQ(RunProgram({"pack", dir.path() + "/tree", dir.path() + "/pkg2", "--sign",
                        dir.path() + "/keys/package-signing.pub"},
                       log),
            kExitFailure);
  EXPECT_FALSE(fs::exists(dir.path() + "/pkg2"));
}

TEST(Program, AddressInUseIsAFailure) {
  TempDir dir;
  WriteTestPackage(dir.path(), "1", {{"", "a", "a"}});
  TestService holder;
  ASSERT_TRUE(holder.Start({dir.path()}));
  std::string log = dir.path() + "/out.txt";
  EXPECT_EQ(RunProgram({"serve", "--package", dir.path(), "--query", "127.0.0.1:0", "--update",
                 "127.0.0.1:0", "--download", holder.download().ToString()},
                log),
            kExitFailure);
  EXPECT_NE(Read(log).find("cannot listen on"), std::string::npos);
}

TEST(Program, PackThenServeThenStopOnSignals) {
  TempDir dir;
  fs::create_directories(dir.path() + "/tree/Data");
  std::ofstream(dir.path() + "/tree/Data/x.bin", std::ios::binary) << TestBytes(12345, 1);
  std::ofstream(dir.path() + "/tree/run.exe", std::ios::binary) << TestBytes(2222, 2);
  std::string log = dir.path() + "/out.txt";
  ASSERT_EQ(RunProgram({"pack", dir.path() + "/tree", dir.path() + "/pkg", "--number", "555",
                 "--version", "2.3"},
                log),
            kExitOk)
      << Read(log);
  EXPECT_NE(Read(log).find("packed 2 modules"), std::string::npos);

  for (int sig : {SIGTERM, SIGINT}) {
    pid_t pid = Spawn({"serve", "--package", dir.path() + "/pkg", "--query", "127.0.0.1:0",
                       "--update", "127.0.0.1:0", "--download", "127.0.0.1:0", "--drain", "0"},
                      log);
    uint16_t update = ListenPort(log, "update");
    uint16_t download = ListenPort(log, "download");
    ASSERT_NE(update, 0) << Read(log);
    UpdateReply reply;
    std::vector<ModuleRecord> records;
    ASSERT_TRUE(CheckExchange({"127.0.0.1", update}, "555", &reply, &records));
    EXPECT_EQ(reply.download_port, download);
    EXPECT_EQ(reply.part3, 2);
    TestClient dl;
    std::map<std::string, std::string> files;
    ASSERT_TRUE(dl.Link({"127.0.0.1", download}));
    ASSERT_TRUE(dl.DownloadModules(records, &files));
    EXPECT_TRUE(files["Data\\x.bin"] == TestBytes(12345, 1));
    EXPECT_TRUE(files["run.exe"] == TestBytes(2222, 2));

    TestClient open_one;  // still connected when the signal comes
    const size_t accepted_before = Occurrences(Read(log), " accepted ");
    ASSERT_TRUE(open_one.Connect({"127.0.0.1", update}));
    // The signal must find the connection accepted by the service, not only queued by the kernel.
    for (int i = 0; i < 2000 && Occurrences(Read(log), " accepted ") == accepted_before; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_GT(Occurrences(Read(log), " accepted "), accepted_before);
    kill(pid, sig);
    EXPECT_EQ(Wait(pid), kExitOk);
    EXPECT_TRUE(open_one.socket().WaitClosed());
    std::string text = Read(log);
    EXPECT_NE(text.find(sig == SIGINT ? "SIGINT received" : "SIGTERM received"),
              std::string::npos);
    EXPECT_NE(text.find("closed: service stopping"), std::string::npos);
    EXPECT_NE(text.find("stopped"), std::string::npos);
    EXPECT_NE(text.find("download#"), std::string::npos);
    EXPECT_NE(text.find("accepted 127.0.0.1:"), std::string::npos);
  }
}

// What a load balancer sees: /healthz 200 while serving, 503 from SIGTERM on while the service
// drains and still serves; a second SIGTERM ends the drain.
TEST(Program, HealthzTurns503OnSigtermAndASecondSignalEndsTheDrain) {
  TempDir dir;
  WriteTestPackage(dir.path() + "/pkg", "555", {{"", "a.dat", "a"}});
  std::string log = dir.path() + "/out.txt";
  const uint16_t metrics = FreePort();
  pid_t pid = Spawn({"serve", "--package", dir.path() + "/pkg", "--query", "127.0.0.1:0",
                     "--update", "127.0.0.1:0", "--download", "127.0.0.1:0", "--metrics",
                     "127.0.0.1:" + std::to_string(metrics), "--workers", "3", "--drain", "3600"},
                    log);
  ASSERT_NE(ListenPort(log, "metrics"), 0) << Read(log);
  uint16_t update = ListenPort(log, "update");
  EXPECT_NE(Read(log).find("3 worker loop(s)"), std::string::npos);
  std::string health = HttpGet("127.0.0.1", metrics, "/healthz");
  EXPECT_EQ(health.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << health;

  kill(pid, SIGTERM);
  for (int i = 0; i < 2000 && Read(log).find("draining for") == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_NE(Read(log).find("SIGTERM received: stopping"), std::string::npos) << Read(log);
  ASSERT_NE(Read(log).find("draining for 3600000 ms"), std::string::npos) << Read(log);
  health = HttpGet("127.0.0.1", metrics, "/healthz");
  EXPECT_EQ(health.rfind("HTTP/1.1 503", 0), 0u) << health;
  UpdateReply reply;
  std::vector<ModuleRecord> records;
  EXPECT_TRUE(CheckExchange({"127.0.0.1", update}, "555", &reply, &records));

  kill(pid, SIGTERM);
  EXPECT_EQ(Wait(pid), kExitOk);
  EXPECT_NE(Read(log).find("stop asked again"), std::string::npos) << Read(log);
}

TEST(Program, SighupReloadsAndABrokenPackageKeepsTheOldOneAndTheExitCode) {
  TempDir dir;
  WriteTestPackage(dir.path() + "/pkg", "555", {{"", "a.dat", "old"}});
  std::string log = dir.path() + "/out.txt";
  pid_t pid = Spawn({"serve", "--package", dir.path() + "/pkg", "--query", "127.0.0.1:0",
                     "--update", "127.0.0.1:0", "--download", "127.0.0.1:0"},
                    log);
  uint16_t update = ListenPort(log, "update");
  ASSERT_NE(update, 0) << Read(log);

  std::ofstream(dir.path() + "/pkg/package.json", std::ios::trunc) << "not json";
  kill(pid, SIGHUP);
  for (int i = 0; i < 2000 && Read(log).find("reload done") == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::string text = Read(log);
  EXPECT_NE(text.find("SIGHUP received: reloading"), std::string::npos) << text;
  EXPECT_NE(text.find("failed to load"), std::string::npos) << text;
  UpdateReply reply;
  std::vector<ModuleRecord> records;
  EXPECT_TRUE(CheckExchange({"127.0.0.1", update}, "555", &reply, &records));
  EXPECT_EQ(records.size(), 1u);

  kill(pid, SIGTERM);
  EXPECT_EQ(Wait(pid), kExitOk);
}
