// The service with our own installer clients (ProcessCheck, then ProcessDL), natively: the whole
// exchange, each fault as the installer meets it, many installers at once, and a package made by
// pack. Files are compared byte for byte with what was published.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "base/debug_output.h"
#include "clients/server_selection.h"
#include "clients/testing/client_run.h"
#include "core/install_context.h"
#include "core/window_messages.h"
#include "install/package_check.h"
#include "install/staged_hashes.h"
#include "install/testing/system_stand_in.h"
#include "service/pack.h"
#include "service/package.h"
#include "service/keygen.h"
#include "service/package_signing.h"
#include "service/testing/test_client.h"
#include "service/testing/test_service.h"

extern char** environ;
namespace fs = std::filesystem;

namespace {

std::string Read(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Every file below `dir`, by path relative to it with "\" separators.
std::map<std::string, std::string> Tree(const fs::path& dir) {
  std::map<std::string, std::string> files;
  if (!fs::exists(dir)) return files;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    if (!e.is_regular_file()) continue;
    std::string rel = e.path().lexically_relative(dir).string();
    for (char& c : rel) c = c == '/' ? '\\' : c;
    files[rel] = Read(e.path());
  }
  return files;
}

// What an installer must end up with: every module not of kind "D", by install path.
std::map<std::string, std::string> Expected(const Package& p) {
  std::map<std::string, std::string> files;
  for (const PackageModule& m : p.modules) {
    if (m.kind != 'D') files[m.folder_part + m.file_part] = Read(m.source_path);
  }
  return files;
}

class ClientsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    files_ = {{"", "quillbank ix.exe", TestBytes(150000, 1)},
              {"Data\\Quotes\\", "SH600000.day", TestBytes(2 * 1001, 2)},
              {"Data\\Quotes\\", "empty.day", ""},
              {"Data\\History\\", "ticks.bin", TestBytes(700001, 3)},
              {"Docs\\", "notes.txt", "kind D: listed, never fetched", 'D'},
              {"Config\\", "terminal.cfg", "[main]\r\nx=1\r\n"}};
    zip_ = StoredZip({{"qbruntime.ini", "[runtime]\r\n"}, {"fonts/qbsymbols.dat", TestBytes(5000, 8)}});
    package_dir_ = fs::path(temp_.path()) / "package";
    WriteTestPackage(package_dir_.string(), "100201", files_, zip_);
    std::string error;
    ASSERT_TRUE(LoadPackage(package_dir_.string(), &package_, &error)) << error;
    staging_ = fs::path(temp_.path()) / "staging";
    depend_ = fs::path(temp_.path()) / "depend";
    SetWindowsMajorVersionForTest(10);
    SetProcessPathForTest("");
  }
  void TearDown() override { SetWindowsMajorVersionForTest(10); }

  bool Start(const FaultConfig& faults = {}) {
    return service_.Start({package_dir_.string()}, faults);
  }

  TempDir temp_;
  std::vector<TestFile> files_;
  std::string zip_;
  fs::path package_dir_, staging_, depend_;
  Package package_;
  TestService service_;
};

}  // namespace

TEST_F(ClientsTest, WholeExchangeInstallsEveryFileAndRecordAsPublished) {
  // A Windows 7 machine without the dependency folder in its Path: the base archive comes too.
  SetWindowsMajorVersionForTest(6);
  SetProcessPathForTest("C:\\Windows\\system32");
  ASSERT_TRUE(Start());
  ClientRun run(staging_.string(), depend_.string());
  ASSERT_TRUE(run.Check(service_.update()));
  const UpdateOffer& offer = run.offer();
  EXPECT_EQ(offer.LatestVersion.Part3, 5);
  EXPECT_EQ(offer.LatestVersion.Part4, 17);
  EXPECT_EQ(offer.DownloadHost, "127.0.0.1");
  EXPECT_EQ(offer.DownloadPort, service_.download().port);
  ASSERT_EQ(offer.Modules.Count(), package_.modules.size());
  for (size_t i = 0; i < package_.modules.size(); ++i) {
    const PackageModule& m = package_.modules[i];
    const ModuleRecord& r = offer.Modules.At(i);
    EXPECT_STREQ(r.PackageKey, m.package_key.c_str());
    EXPECT_STREQ(r.Name, m.name.c_str());
    EXPECT_EQ(int32_t{r.Num1}, m.num1);
    EXPECT_EQ(int32_t{r.Num2}, m.num2);
    EXPECT_EQ(char{r.Kind}, m.kind);
    EXPECT_EQ(std::string(r.Tail, strnlen(r.Tail, 8)), m.tail);
  }

  ASSERT_TRUE(run.Download());
  EXPECT_EQ(run.LastParam(UM_BASE_DONE), 0);
  EXPECT_EQ(run.Count(UM_FILE_DONE), 5);
  EXPECT_EQ(run.Count(UM_DOWNLOAD_DONE), 1);
  std::map<std::string, std::string> staged = Tree(staging_);
  std::map<std::string, std::string> expected = Expected(package_);
  EXPECT_EQ(staged.size(), expected.size());
  for (const auto& [path, bytes] : expected) {
    EXPECT_TRUE(staged.count(path) && staged[path] == bytes) << path;
  }
  // The base archive was unpacked into the dependency folder and removed from staging.
  std::map<std::string, std::string> depend = Tree(depend_);
  EXPECT_EQ(depend["qbruntime.ini"], "[runtime]\r\n");
  EXPECT_TRUE(depend["fonts\\qbsymbols.dat"] == TestBytes(5000, 8));
  EXPECT_FALSE(staged.count("SystemDepend.zip"));
}

TEST_F(ClientsTest, PackedTreeInstallsByteIdentical) {
  fs::path tree = fs::path(temp_.path()) / "tree";
  fs::create_directories(tree / "bin");
  fs::create_directories(tree / "Data/Deep/Deeper");
  std::ofstream(tree / "quillbank ix.exe", std::ios::binary) << TestBytes(123457, 11);
  std::ofstream(tree / "bin/qb.dll", std::ios::binary) << TestBytes(4004, 12);
  std::ofstream(tree / "Data/Deep/Deeper/z.dat", std::ios::binary) << TestBytes(1, 13);
  std::ofstream(tree / "Data/Deep/zero.dat", std::ios::binary);
  fs::path out = fs::path(temp_.path()) / "packed";
  PackOptions options;
  options.version_part3 = 8;
  options.version_part4 = 1;
  std::string error;
  ASSERT_TRUE(PackTree(tree.string(), out.string(), options, &error, nullptr)) << error;
  ASSERT_TRUE(service_.Start({out.string()}));
  ClientRun run(staging_.string(), depend_.string());
  ASSERT_TRUE(run.Check(service_.update()));
  ASSERT_TRUE(run.Download());
  std::map<std::string, std::string> staged = Tree(staging_);
  EXPECT_EQ(staged.size(), 4u);
  EXPECT_TRUE(staged["quillbank ix.exe"] == TestBytes(123457, 11));
  EXPECT_TRUE(staged["bin\\qb.dll"] == TestBytes(4004, 12));
  EXPECT_TRUE(staged["Data\\Deep\\Deeper\\z.dat"] == TestBytes(1, 13));
  EXPECT_EQ(staged["Data\\Deep\\zero.dat"], "");
  EXPECT_EQ(run.offer().LatestVersion.Part3, 8);
}

// A signed package over the protocol: what arrives passes the check as the installer runs it,
// and one byte flipped on the way fails it, naming the file.
TEST_F(ClientsTest, SignedPackagePassesTheCheckAndOneFlippedByteFailsIt) {
  SetWindowsMajorVersionForTest(6);
  SetProcessPathForTest("C:\\Windows\\system32");
  KeygenResult keys;
  std::string error;
  ASSERT_TRUE(WriteNewKeyPair(temp_.path() + "/keys", &keys, &error)) << error;
  ASSERT_TRUE(SignPackageFolder(package_dir_.string(), keys.key_path, /*expires=*/0, &error)) << error;
  uint8_t public_key[64];
  for (size_t i = 0; i < sizeof public_key; ++i) {
    public_key[i] = static_cast<uint8_t>(std::stoi(keys.public_text.substr(2 * i, 2), nullptr, 16));
  }
  const auto install = [&](const FaultConfig& faults, PackageCheckFailure* failure) {
    fs::remove_all(staging_);
    fs::remove_all(depend_);
    TestService service;
    EXPECT_TRUE(service.Start({package_dir_.string()}, faults));
    StagedHashes hashes;
    ClientRun run(staging_.string(), depend_.string());
    run.CheckPackages(&hashes);
    EXPECT_TRUE(run.Check(service.update()));
    EXPECT_TRUE(run.Download());
    // Kept packed: nothing of the package has left the staging folder yet.
    EXPECT_EQ(run.KeptBaseArchive(), staging_.string() + "\\SystemDepend.zip");
    EXPECT_FALSE(fs::exists(depend_));
    PackageCheckInput input;
    input.staging_dir = staging_.string();
    input.public_keys = {public_key};
    input.package_number = "100201";
    input.version = run.offer().LatestVersion;
    input.base_archive = "SystemDepend.zip";
    input.hashes = &hashes;
    return CheckStagedPackage(input, failure);
  };
  PackageCheckFailure failure;
  EXPECT_TRUE(install(FaultConfig(), &failure)) << failure.file << ": " << failure.reason;
  FaultConfig corrupt;
  corrupt.corrupt_module = "Data\\Quotes\\SH600000.day";
  EXPECT_FALSE(install(corrupt, &failure));
  EXPECT_EQ(failure.file, "Data\\Quotes\\SH600000.day");
}

TEST_F(ClientsTest, RefuseUpdateIsReportedWithItsCode) {
  FaultConfig f;
  f.refuse_update = true;
  f.refuse_update_code = 4321;
  ASSERT_TRUE(Start(f));
  ClientRun run(staging_.string(), depend_.string());
  EXPECT_FALSE(run.Check(service_.update()));
  EXPECT_EQ(run.LastParam(UM_UPDATE_REFUSED), 4321);
  EXPECT_EQ(run.Count(UM_MODULE_CHECK_DONE), 0);
}

TEST_F(ClientsTest, RefuseLoginIsReportedAsALoginFailure) {
  FaultConfig f;
  f.refuse_login = true;
  ASSERT_TRUE(Start(f));
  ClientRun run(staging_.string(), depend_.string());
  EXPECT_FALSE(run.Check(service_.update()));
  EXPECT_EQ(run.Count(UM_LOGIN_FAIL), 1);
}

TEST_F(ClientsTest, RefusedAuthenticationLinkIsReportedOnEitherConnection) {
  FaultConfig f;
  f.refuse_auth_update = true;
  ASSERT_TRUE(Start(f));
  {
    ClientRun run(staging_.string(), depend_.string());
    EXPECT_FALSE(run.Check(service_.update()));
    EXPECT_EQ(run.Count(UM_CHECK_AUTH_FAIL), 1);
  }
  service_.Stop();
  TestService download_refuses;
  f = FaultConfig();
  f.refuse_auth_download = true;
  ASSERT_TRUE(download_refuses.Start({package_dir_.string()}, f));
  ClientRun run(staging_.string(), depend_.string());
  ASSERT_TRUE(run.Check(download_refuses.update()));
  // Without a base archive to fetch, the link's error code reaches the window in UM_BASE_DONE.
  EXPECT_FALSE(run.Download(10000));
  EXPECT_EQ(run.LastParam(UM_BASE_DONE), 1);
}

TEST_F(ClientsTest, DropAfterChunksEndsTheDownloadWithADisconnect) {
  FaultConfig f;
  f.drop_after_chunks = 200;
  ASSERT_TRUE(Start(f));
  ClientRun run(staging_.string(), depend_.string());
  ASSERT_TRUE(run.Check(service_.update()));
  EXPECT_FALSE(run.Download());
  EXPECT_EQ(run.Count(UM_DL_DISCONNECT), 1);
  EXPECT_EQ(run.Count(UM_DOWNLOAD_DONE), 0);
  EXPECT_LT(run.Count(UM_FILE_DONE), 5);
}

// A download connection lost after K chunk records: the client comes back and asks for exactly
// the modules whose files are not complete; the file cut off is written again from its start.
// Files: a.exe in chunks 1-5, D\\b.dat 6-8, c.bin 9, E\\last.bin 10-13.
TEST_F(ClientsTest, ALostDownloadResumesWithTheIncompleteModulesOnly) {
  const std::vector<TestFile> files = {{"", "a.exe", TestBytes(5005, 21)},
                                       {"D\\", "b.dat", TestBytes(3003, 22)},
                                       {"", "notes.txt", "kind D", 'D'},
                                       {"", "c.bin", TestBytes(10, 23)},
                                       {"E\\", "last.bin", TestBytes(4000, 24)}};
  const fs::path dir = fs::path(temp_.path()) / "resume-package";
  WriteTestPackage(dir.string(), "100201", files);
  Package package;
  std::string error;
  ASSERT_TRUE(LoadPackage(dir.string(), &package, &error)) << error;
  using Names = std::vector<std::string>;
  const Names all = {"a.exe", "D\\b.dat", "c.bin", "E\\last.bin"};
  struct Case {
    int64_t drop_after;
    int64_t drops;
    std::vector<Names> requests;
  };
  const Case cases[] = {
      {0, 1, {all, all}},                                    // before the first chunk
      {8, 1, {all, {"c.bin", "E\\last.bin"}}},              // at a module boundary
      {6, 1, {all, {"D\\b.dat", "c.bin", "E\\last.bin"}}},  // inside a file
      {11, 1, {all, {"E\\last.bin"}}},                      // inside the last file
      // Twice: the second connection loses its own 6th chunk, inside the last file.
      {6, 2, {all, {"D\\b.dat", "c.bin", "E\\last.bin"}, {"E\\last.bin"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("drop after " + std::to_string(c.drop_after) + ", " + std::to_string(c.drops) +
                 " connection(s)");
    FaultConfig f;
    f.drop_after_chunks = c.drop_after;
    f.drop_connections = c.drops;
    TestService service;
    ASSERT_TRUE(service.Start({dir.string()}, f));
    const fs::path staging =
        fs::path(temp_.path()) / ("staging-" + std::to_string(c.drop_after) + "-" +
                                  std::to_string(c.drops));
    ClientRun run(staging.string(), depend_.string());
    ASSERT_TRUE(run.Check(service.update()));
    ASSERT_TRUE(run.Download(60000, nullptr, /*reconnects=*/static_cast<int>(c.drops)));
    EXPECT_EQ(run.requests(), c.requests);
    EXPECT_EQ(run.Count(UM_DL_DISCONNECT), c.drops);
    EXPECT_EQ(run.Count(UM_FILE_DONE), 4);
    EXPECT_EQ(Tree(staging), Expected(package));
  }
}

// A loss in the middle of the base archive: the archive is fetched again whole on the next
// connection, unpacked once, and the modules follow on that connection.
TEST_F(ClientsTest, ALostBaseArchiveIsFetchedAgainWhole) {
  SetWindowsMajorVersionForTest(6);
  SetProcessPathForTest("C:\\Windows\\system32");
  FaultConfig f;
  f.drop_after_chunks = 3;
  f.drop_connections = 1;
  ASSERT_TRUE(Start(f));
  ClientRun run(staging_.string(), depend_.string());
  ASSERT_TRUE(run.Check(service_.update()));
  ASSERT_TRUE(run.Download(60000, nullptr, /*reconnects=*/1));
  EXPECT_EQ(run.Count(UM_DL_DISCONNECT), 1);
  EXPECT_EQ(run.Count(UM_BASE_DONE), 1);
  EXPECT_EQ(run.requests().size(), 1u);
  EXPECT_EQ(Tree(staging_), Expected(package_));
  std::map<std::string, std::string> depend = Tree(depend_);
  EXPECT_EQ(depend["qbruntime.ini"], "[runtime]\r\n");
  EXPECT_TRUE(depend["fonts\\qbsymbols.dat"] == TestBytes(5000, 8));
  int archives = 0;
  for (const std::string& line : service_.Log()) {
    archives += line.find("base archive sent") != std::string::npos;
  }
  EXPECT_EQ(archives, 1);
}

TEST_F(ClientsTest, GarbageFirstIsDiscardedAndTheInstallGoesOn) {
  FaultConfig f;
  f.garbage_first = true;
  ASSERT_TRUE(Start(f));
  ClientRun run(staging_.string(), depend_.string());
  ASSERT_TRUE(run.Check(service_.update()));
  ASSERT_TRUE(run.Download());
  EXPECT_EQ(Tree(staging_), Expected(package_));
}

TEST_F(ClientsTest, SplitModuleReplyEndsTheCheckOnceWithEveryRecord) {
  FaultConfig f;
  f.split_module_messages = 4;
  ASSERT_TRUE(Start(f));
  ClientRun run(staging_.string(), depend_.string());
  ASSERT_TRUE(run.Check(service_.update()));
  // The client reads its connection in order: once it sees the service close it, it has handled
  // every reply that came before.
  service_.Stop();
  ASSERT_TRUE(run.WaitFor(UM_CHECK_DISCONNECT, 20000));
  EXPECT_EQ(run.Count(UM_MODULE_CHECK_DONE), 1);
  ASSERT_EQ(run.offer().Modules.Count(), package_.modules.size());
  EXPECT_STREQ(run.offer().Modules.At(5).Name, package_.modules[5].name.c_str());
}

namespace {

QueryServers AllAt(const ListenAddress& a) {
  QueryServers servers{};
  for (auto& s : servers.Servers) {
    std::strcpy(s.Address, a.host.c_str());
    s.Port = a.port;
  }
  return servers;
}

std::vector<std::string>* debug_lines = nullptr;

}  // namespace

TEST_F(ClientsTest, PackageQueryFaultsLeaveTheProductNameEmpty) {
  std::vector<std::string> lines;
  debug_lines = &lines;
  SetDebugOutputSink([](const char* text) { debug_lines->push_back(text); });
  std::string product_name;
  {
    ASSERT_TRUE(Start());
    product_name = "x";
    EXPECT_EQ(FetchPackageInfo(AllAt(service_.query()), 0x0804, "100201", &product_name), 1);
    EXPECT_EQ(product_name, "\xD3\xF0\xB1\xCA ix");  // GBK
    service_.Stop();
  }
  for (bool wrong_code : {true, false}) {
    FaultConfig f;
    f.query_wrong_code = wrong_code;
    f.query_delay_ms = wrong_code ? 0 : 2500;  // past the installer's 2-second wait
    TestService faulty;
    ASSERT_TRUE(faulty.Start({package_dir_.string()}, f));
    product_name = "x";
    EXPECT_EQ(FetchPackageInfo(AllAt(faulty.query()), 0x0804, "100201", &product_name), 0);
    EXPECT_EQ(product_name, "");
  }
  SetDebugOutputSink(nullptr);
  int errors = 0;
  for (const std::string& l : lines) errors += l == "AcquirePackage Error\r\n";
  EXPECT_EQ(errors, 2);
}

// Sixty-three installer processes download at once while a sixty-fourth has stopped reading: each
// one ends with every file byte for byte, and the stalled one holds up nobody, stays connected
// and is not sent more than its socket buffers and the service's high-water mark take.
TEST_F(ClientsTest, SixtyFourInstallersDownloadAtOnceWithOneStalled) {
  ASSERT_TRUE(Start());
  // The stalled installer links, asks for every module and reads nothing more.
  UpdateReply reply;
  std::vector<ModuleRecord> records;
  ASSERT_TRUE(CheckExchange(service_.update(), "100201", &reply, &records));
  TestClient stalled;
  int32_t error = -1;
  ASSERT_TRUE(stalled.Connect(service_.download()));
  ASSERT_TRUE(stalled.AuthentLink(&error));
  // The only download connection so far: its tag names it in the service's log.
  std::string stalled_tag;
  for (const std::string& line : service_.Log()) {
    if (line.rfind("download#", 0) == 0 && line.find(" accepted ") != std::string::npos) {
      stalled_tag = line.substr(0, line.find(' '));
    }
  }
  ASSERT_FALSE(stalled_tag.empty());
  // Forty times the package (some 35 MB): far more than socket buffers hold.
  constexpr int kStalledRequests = 40;
  for (int i = 0; i < kStalledRequests; ++i) ASSERT_TRUE(stalled.RequestModules(records));

  constexpr int kInstallers = 63;
  std::vector<pid_t> pids;
  std::string update = service_.update().ToString();
  for (int i = 0; i < kInstallers; ++i) {
    fs::path dir = fs::path(temp_.path()) / ("installer" + std::to_string(i));
    fs::create_directories(dir);
    std::string exe = QB_TEST_INSTALLER;
    std::string staging = (dir / "staging").string(), depend = (dir / "depend").string();
    std::string log = (dir / "messages.txt").string();
    char* argv[] = {exe.data(), update.data(), staging.data(), depend.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    pid_t pid = -1;
    ASSERT_EQ(posix_spawn(&pid, exe.c_str(), &actions, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    pids.push_back(pid);
  }
  std::map<std::string, std::string> expected = Expected(package_);
  for (int i = 0; i < kInstallers; ++i) {
    int status = 0;
    ASSERT_EQ(waitpid(pids[i], &status, 0), pids[i]);
    fs::path dir = fs::path(temp_.path()) / ("installer" + std::to_string(i));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "installer " << i << ":\n" << Read(dir / "messages.txt");
    EXPECT_TRUE(Tree(dir / "staging") == expected) << "installer " << i;
  }
  // The stalled connection is still open, and most of what it asked for is still unsent.
  int stalled_sent = 0;
  for (const std::string& line : service_.Log()) {
    if (line.rfind(stalled_tag + " closed", 0) == 0) ADD_FAILURE() << line;
    if (line.rfind(stalled_tag + " module files sent", 0) == 0) ++stalled_sent;
  }
  EXPECT_LT(stalled_sent, kStalledRequests / 2);
  EXPECT_GE(service_.service().connection_count(), 1u);
}
