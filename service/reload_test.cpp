// Reloading the package folders while serving: downloads running go on from the package they
// started with, new installers get the new one, and a folder that fails to load keeps the
// package it had.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "service/testing/test_client.h"
#include "service/testing/test_service.h"

namespace fs = std::filesystem;

namespace {

// A test package of version 5.`part4`.
void WriteVersion(const std::string& dir, int part4, const std::vector<TestFile>& files,
                  const std::string& number = "100201") {
  WriteTestPackage(dir, number, files);
  std::ifstream in(dir + "/package.json");
  std::string json((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::string from = "\"version_part4\": 17";
  ASSERT_NE(json.find(from), std::string::npos) << json;
  json.replace(json.find(from), from.size(), "\"version_part4\": " + std::to_string(part4));
  std::ofstream(dir + "/package.json", std::ios::binary | std::ios::trunc) << json;
}

// Points the link `link` at `target`, replacing it in one step as an operator would.
void SwitchLink(const std::string& link, const std::string& target) {
  fs::create_directory_symlink(target, link + ".new");
  fs::rename(link + ".new", link);
}

}  // namespace

TEST(Reload, DownloadRunningFinishesFromItsPackageAndTheNextGetsTheNewOne) {
  TempDir dir;
  const std::string v1 = dir.path() + "/v1", v2 = dir.path() + "/v2";
  const std::string link = dir.path() + "/current";
  // More than the socket buffers and the outbox hold, so the download is still running when
  // the reload comes.
  const std::string old_a = TestBytes(12 << 20, 1), old_b = TestBytes(6 << 20, 2);
  WriteVersion(v1, 17, {{"Data\\", "a.dat", old_a}, {"", "b.dat", old_b}});
  WriteVersion(v2, 18, {{"Data\\", "a.dat", "new a"}, {"", "b.dat", "new b"}});
  fs::create_directory_symlink(v1, link);

  TestService service;
  ASSERT_TRUE(service.Start({link}));
  UpdateReply reply;
  std::vector<ModuleRecord> old_records;
  ASSERT_TRUE(CheckExchange(service.update(), "100201", &reply, &old_records));
  EXPECT_EQ(reply.part4, 17);
  TestClient running;
  ASSERT_TRUE(running.Link(service.download()));
  ASSERT_TRUE(running.RequestModules(old_records));
  ASSERT_TRUE(service.WaitForLog("module download: 2 files"));

  SwitchLink(link, v2);
  service.service().RequestReload();
  ASSERT_TRUE(service.WaitForLog("reload done"));
  // Nothing has been read yet, so the first download cannot be over.
  EXPECT_FALSE(service.LogHas("module files sent"));

  std::map<std::string, std::string> files;
  ASSERT_TRUE(running.ReceiveModules(old_records, &files));
  EXPECT_TRUE(files["Data\\a.dat"] == old_a);
  EXPECT_TRUE(files["b.dat"] == old_b);

  std::vector<ModuleRecord> new_records;
  ASSERT_TRUE(CheckExchange(service.update(), "100201", &reply, &new_records));
  EXPECT_EQ(reply.part4, 18);
  TestClient next;
  ASSERT_TRUE(next.Link(service.download()));
  files.clear();
  ASSERT_TRUE(next.DownloadModules(new_records, &files));
  EXPECT_EQ(files["Data\\a.dat"], "new a");
  EXPECT_EQ(files["b.dat"], "new b");
  EXPECT_EQ(service.service().Counts().reloads, 1u);
}

TEST(Reload, AFolderThatFailsToLoadKeepsItsPackageAndTheOthersMoveOn) {
  TempDir dir;
  const std::string first = dir.path() + "/first", second = dir.path() + "/second";
  WriteVersion(first, 17, {{"", "a.dat", "first a"}});
  WriteTestPackage(second, "200300", {{"", "c.dat", "second c"}});
  TestService service;
  ASSERT_TRUE(service.Start({first, second}));

  // The first folder breaks; the second publishes a new version.
  std::ofstream(first + "/package.json", std::ios::trunc) << "{ \"package_number\": ";
  WriteVersion(second, 20, {{"", "c.dat", "second c, new"}}, "200300");
  service.service().RequestReload();
  ASSERT_TRUE(service.WaitForLog("reload done: 2 package(s) served to new connections, 1 kept"));
  EXPECT_TRUE(service.LogHas("reload: package " + first + " failed to load"));
  EXPECT_TRUE(service.LogHas("still serving version 5.17"));

  UpdateReply reply;
  std::vector<ModuleRecord> records;
  ASSERT_TRUE(CheckExchange(service.update(), "100201", &reply, &records));
  EXPECT_EQ(reply.part4, 17);
  TestClient dl;
  std::map<std::string, std::string> files;
  ASSERT_TRUE(dl.Link(service.download()));
  ASSERT_TRUE(dl.DownloadModules(records, &files));
  EXPECT_EQ(files["a.dat"], "first a");

  ASSERT_TRUE(CheckExchange(service.update(), "200300", &reply, &records));
  EXPECT_EQ(reply.part4, 20);
  TestClient dl2;
  files.clear();
  ASSERT_TRUE(dl2.Link(service.download()));
  ASSERT_TRUE(dl2.DownloadModules(records, &files));
  EXPECT_EQ(files["c.dat"], "second c, new");
  EXPECT_EQ(service.service().Counts().reload_failures, 1u);
}

TEST(Reload, ANewSetThatCannotBeServedTogetherKeepsEverythingAsItWas) {
  TempDir dir;
  const std::string first = dir.path() + "/first", second = dir.path() + "/second";
  WriteVersion(first, 17, {{"", "a.dat", "first a"}});
  WriteVersion(second, 17, {{"", "c.dat", "second c"}}, "200300");
  TestService service;
  ASSERT_TRUE(service.Start({first, second}));

  // Each folder loads, but both now publish package 100201.
  WriteVersion(first, 18, {{"", "a.dat", "first a, new"}});
  WriteVersion(second, 18, {{"", "c.dat", "second c, new"}});
  service.service().RequestReload();
  ASSERT_TRUE(service.WaitForLog("reload failed: package 100201 is published twice"));

  UpdateReply reply;
  std::vector<ModuleRecord> records;
  ASSERT_TRUE(CheckExchange(service.update(), "100201", &reply, &records));
  EXPECT_EQ(reply.part4, 17);
  ASSERT_TRUE(CheckExchange(service.update(), "200300", &reply, &records));
  EXPECT_EQ(reply.part4, 17);
}
