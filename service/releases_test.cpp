// A releases folder while it is served: every version loaded is served to the downloads that ask
// for its records, "current" decides what the update check announces and is read again on a
// reload, a version served keeps its bytes whatever its folder holds later, and a version the
// operator dropped is refused.
#include "service/releases.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "service/pack.h"
#include "service/testing/test_client.h"
#include "service/testing/test_service.h"
#include "test_support/temp_dir.h"
#include "wire/message.h"

namespace fs = std::filesystem;

namespace {

void Write(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

class ReleasesTest : public ::testing::Test {
 protected:
  ReleasesTest() : root_(dir_.path()), releases_(root_ / "releases") {
    fs::create_directories(releases_);
  }
  // Packs a tree of two files (the quotes file holding `quotes`) as version `part3`.`part4`
  // into `folder` (below the releases folder unless given whole).
  void Pack(int part3, int part4, const std::string& quotes, fs::path folder = {}) {
    const fs::path tree = root_ / ("tree-" + std::to_string(trees_++));
    Write(tree / "quillbank ix.exe", "MZ the terminal");
    Write(tree / "Data/Quotes/SH600000.day", quotes);
    if (folder.empty()) folder = releases_ / VersionName(part3, part4);
    PackOptions options;
    options.version_part3 = part3;
    options.version_part4 = part4;
    std::string error;
    ASSERT_TRUE(PackTree(tree.string(), folder.string(), options, &error, nullptr)) << error;
  }
  void Announce(const std::string& version) { Write(releases_ / kCurrentFileName, version + "\n"); }
  void Reload() {
    service_.service().RequestReload();
    ASSERT_TRUE(service_.WaitForLogCount("reload done", 1 + reloads_++));
  }
  // The update check: the version announced and its records.
  std::string Check(std::vector<ModuleRecord>* records) {
    UpdateReply reply;
    if (!CheckExchange(service_.update(), "100201", &reply, records)) return "no answer";
    return std::to_string(reply.part3) + "." + std::to_string(reply.part4);
  }
  // The quotes file a download of `records` gets, or "refused".
  std::string Quotes(const std::vector<ModuleRecord>& records) {
    TestClient client;
    std::map<std::string, std::string> files;
    if (!client.Link(service_.download()) || !client.DownloadModules(records, &files)) {
      return "refused";
    }
    return files["Data\\Quotes\\SH600000.day"];
  }
  bool Start() {
    ServiceOptions options;
    options.releases = {releases_.string()};
    return service_.Start(options);
  }

  TempDir dir_;
  const fs::path root_;
  const fs::path releases_;
  int trees_ = 0;
  size_t reloads_ = 0;
  TestService service_;
};

TEST_F(ReleasesTest, EveryVersionIsServedAndCurrentChoosesWhatIsAnnounced) {
  // 6.17 has the fourth part of 5.17: before records named content, their records were alike.
  Pack(5, 17, "quotes of 5.17");
  Pack(6, 17, "quotes of 6.17");
  Announce("5.17");
  ASSERT_TRUE(Start());
  std::vector<ModuleRecord> old_records, new_records;
  EXPECT_EQ(Check(&old_records), "5.17");
  // Copied to every instance first, announced after: the new version is served before it is
  // announced, and the old one after.
  Announce("6.17");
  Reload();
  EXPECT_EQ(Check(&new_records), "6.17");
  EXPECT_EQ(Quotes(old_records), "quotes of 5.17");
  EXPECT_EQ(Quotes(new_records), "quotes of 6.17");
  // The operators see what each version served: each download counts for its version, the
  // terminal the two share included.
  const MetricsCounts counts = service_.service().Counts();
  EXPECT_EQ(counts.version_files.at("package=\"100201\",version=\"5.17\""), 2u);
  EXPECT_EQ(counts.version_files.at("package=\"100201\",version=\"6.17\""), 2u);
  EXPECT_EQ(counts.version_bytes.at("package=\"100201\",version=\"6.17\""),
            std::string("MZ the terminal").size() + std::string("quotes of 6.17").size());
}

TEST_F(ReleasesTest, ARepublishedVersionIsRefusedAndTheOneServedKept) {
  // The version folder is a link, switched as an operator switches one.
  Pack(5, 17, "quotes of 5.17", root_ / "first-5.17");
  fs::create_directory_symlink(root_ / "first-5.17", releases_ / "5.17");
  Announce("5.17");
  ASSERT_TRUE(Start());
  std::vector<ModuleRecord> records;
  ASSERT_EQ(Check(&records), "5.17");
  // A hot fix under the same version: other bytes, so other records; refused.
  Pack(5, 17, "hot fix", root_ / "second-5.17");
  fs::remove(releases_ / "5.17");
  fs::create_directory_symlink(root_ / "second-5.17", releases_ / "5.17");
  Reload();
  EXPECT_TRUE(service_.LogHas("version 5.17 refused"));
  std::vector<ModuleRecord> after;
  EXPECT_EQ(Check(&after), "5.17");
  ASSERT_EQ(after.size(), records.size());
  for (size_t i = 0; i < records.size(); ++i) {
    EXPECT_EQ(std::memcmp(&after[i], &records[i], sizeof records[i]), 0) << i;
  }
  EXPECT_EQ(Quotes(records), "quotes of 5.17");
  EXPECT_EQ(service_.service().Counts().reload_failures, 1u);
}

// An operator who overwrites a served version's folder (a hot fix copied over it, or the folder
// replaced by another under its name) leaves the service no bytes of the records it handed
// out: those are refused, with the installer told why, and never answered with the new bytes.
TEST_F(ReleasesTest, AVersionRewrittenInPlaceIsRefusedNotServedWithOtherBytes) {
  Pack(5, 17, "quotes of 5.17");
  Pack(5, 18, "quotes of 5.18");
  Announce("5.17");
  ASSERT_TRUE(Start());
  std::vector<ModuleRecord> records, other;
  ASSERT_EQ(Check(&records), "5.17");
  // Same size, other bytes, package.json untouched: only the file itself tells.
  const fs::path quotes = releases_ / "5.17" / "Data" / "Quotes" / "SH600000.day";
  Write(quotes, "QUOTES OF 5.17");
  // Before any reload as after one: the request for the old record is refused.
  TestClient client;
  ASSERT_TRUE(client.Link(service_.download()));
  ASSERT_TRUE(client.RequestModules(records));
  std::vector<uint8_t> reply;
  MessageHeader header;
  ASSERT_TRUE(client.Receive(&reply, &header));
  EXPECT_EQ(header.Code, kMsgFileDownloadRsp);
  EXPECT_EQ(header.ErrorCode, kErrorModuleNotServed);
  EXPECT_EQ(header.RecordCount, 0u);
  EXPECT_TRUE(client.socket().WaitClosed());
  EXPECT_TRUE(service_.LogHas("changed since its version was loaded"));
  Reload();
  EXPECT_TRUE(service_.LogHas("changed in place since it was loaded"));
  EXPECT_EQ(Quotes(records), "refused");
  // The other version is untouched by it; and a folder replaced whole (a new inode under the
  // old name) is refused the same way.
  Announce("5.18");
  Reload();
  ASSERT_EQ(Check(&other), "5.18");
  EXPECT_EQ(Quotes(other), "quotes of 5.18");
  Pack(5, 18, "quotes of 5.18", root_ / "again");
  fs::remove_all(releases_ / "5.18");
  fs::rename(root_ / "again", releases_ / "5.18");
  EXPECT_EQ(Quotes(other), "refused");
  EXPECT_EQ(service_.service().Counts().refused.at("changed_module"), 3u);
}

TEST_F(ReleasesTest, ADroppedVersionIsRefusedAndACurrentThatNamesNoneKeepsWhatWasServed) {
  Pack(5, 17, "quotes of 5.17");
  Pack(5, 18, "quotes of 5.18");
  Announce("5.17");
  ASSERT_TRUE(Start());
  std::vector<ModuleRecord> old_records, still, new_records;
  ASSERT_EQ(Check(&old_records), "5.17");
  // "current" naming a version that is not here: everything stays as it was.
  Announce("5.19");
  Reload();
  EXPECT_EQ(Check(&still), "5.17");
  // 5.18 announced and 5.17 dropped: its records are refused, never answered with other bytes.
  Announce("5.18");
  fs::remove_all(releases_ / "5.17");
  Reload();
  EXPECT_TRUE(service_.LogHas("version 5.17 dropped"));
  EXPECT_EQ(Check(&new_records), "5.18");
  EXPECT_EQ(Quotes(new_records), "quotes of 5.18");
  EXPECT_EQ(Quotes(old_records), "refused");
  // The refusal is said before the close, so that the installer can tell why: a download reply
  // with no chunks and the code of a record not served.
  TestClient client;
  ASSERT_TRUE(client.Link(service_.download()));
  ASSERT_TRUE(client.RequestModules(old_records));
  std::vector<uint8_t> reply;
  MessageHeader header;
  ASSERT_TRUE(client.Receive(&reply, &header));
  EXPECT_EQ(header.Code, kMsgFileDownloadRsp);
  EXPECT_EQ(header.ErrorCode, kErrorModuleNotServed);
  EXPECT_EQ(header.RecordCount, 0u);
  EXPECT_TRUE(client.socket().WaitClosed());
  EXPECT_TRUE(service_.LogHas("module download refused: request for unknown module"));
  EXPECT_EQ(service_.service().Counts().refused.at("unknown_module"), 2u);
}

TEST_F(ReleasesTest, AFolderThatCannotBeServedIsRefusedAtTheStart) {
  Pack(5, 17, "quotes of 5.17");
  std::vector<std::string> notes;
  size_t problems = 0;
  std::string why;
  Releases releases;
  EXPECT_FALSE(LoadReleases(releases_.string(), nullptr, &releases, &notes, &problems, &why));
  EXPECT_NE(why.find("current names no version"), std::string::npos) << why;
  Announce("5.18");
  EXPECT_FALSE(LoadReleases(releases_.string(), nullptr, &releases, &notes, &problems, &why));
  EXPECT_NE(why.find("names 5.18, which is not here"), std::string::npos) << why;
  // A folder named otherwise than the version it holds is left out, and said so.
  Pack(5, 19, "quotes", releases_ / "5.18");
  ASSERT_TRUE(LoadReleases(releases_.string(), nullptr, &releases, &notes, &problems, &why) == false);
  ASSERT_FALSE(notes.empty());
  EXPECT_NE(notes.back().find("holds version 5.19"), std::string::npos) << notes.back();
  Announce("5.17");
  notes.clear();
  ASSERT_TRUE(LoadReleases(releases_.string(), nullptr, &releases, &notes, &problems, &why)) << why;
  EXPECT_EQ(releases.versions.size(), 1u);
  EXPECT_EQ(notes.size(), 1u);
}

}  // namespace
