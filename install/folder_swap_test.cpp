// The replace by rename and the start-up recovery, on real folders: every combination of the
// install folder, its ".previous" and staging that a replace cut short can leave, and the replace
// with a held old install, a staging folder that will not move, and a copy that falls short.
#include "install/folder_swap.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "base/file_system.h"
#include "base/make_path_dirs.h"
#include "install/system.h"
#include "test_support/temp_dir.h"

namespace {

using Tree = std::map<std::string, std::string>;  // relative path -> bytes

const Tree kOld = {{"quillbank ix.exe", "old program"}, {"module.info", "old info"},
                   {"Data\\f1.dat", "old data"}};
const Tree kNew = {{"quillbank ix.exe", "new program"}, {"module.info", "new info"},
                   {"Data\\f1.dat", "new data"}, {"Data\\Quotes\\q.day", std::string(3000, 'q')}};

void Put(const std::string& folder, const Tree& tree) {
  MakeDirectory(folder.c_str());
  for (const auto& [relative, bytes] : tree) {
    const std::string path = folder + "\\" + relative;
    ASSERT_TRUE(MakePathDirs(path.c_str()));
    ASSERT_TRUE(WriteFileBytes(path, bytes));
  }
}

// What the folder holds; a missing folder reads as {"<missing>"}.
Tree Read(const std::string& folder) {
  std::vector<FileEntry> files;
  if (!PathExists(folder.c_str()) || !ListFiles(folder, &files)) return {{"<missing>", ""}};
  Tree tree;
  for (const FileEntry& file : files) tree[file.relative] = ReadFileBytes(folder + "\\" + file.relative);
  return tree;
}

Tree Without(Tree tree, const std::string& relative) {
  tree.erase(relative);
  return tree;
}

const Tree kMissing = {{"<missing>", ""}};

class FolderSwapTest : public ::testing::Test {
 protected:
  FolderSwapTest()
      : install_(dir_.Join("Quillbank")), previous_(install_ + ".previous"),
        staging_(dir_.Join("Staging")) {}

  // Steps whose rename refuses to move the staging folder (a file in it held, say).
  SwapSteps StagingThatWillNotMove() const {
    SwapSteps steps;
    steps.rename = [this](const char* from, const char* to) {
      return from != staging_ && RenamePath(from, to);
    };
    return steps;
  }

  TempDir dir_;
  std::string install_, previous_, staging_;
};

TEST_F(FolderSwapTest, RecoveryPutsTheWholeInstallBackForEveryStateLeft) {
  enum class Install { Missing, Incomplete, Complete };
  enum class Staging { Missing, Incomplete, Complete };
  for (Install install : {Install::Missing, Install::Incomplete, Install::Complete}) {
    for (bool previous : {false, true}) {
      for (Staging staging : {Staging::Missing, Staging::Incomplete, Staging::Complete}) {
        SCOPED_TRACE(testing::Message() << "install " << static_cast<int>(install) << ", previous "
                                        << previous << ", staging " << static_cast<int>(staging));
        DeletePath(install_.c_str());
        DeletePath(previous_.c_str());
        DeletePath(staging_.c_str());
        // An incomplete install is what a copy cut short leaves: no module.info yet.
        if (install == Install::Complete) Put(install_, kNew);
        if (install == Install::Incomplete) Put(install_, Without(kNew, "module.info"));
        if (previous) Put(previous_, kOld);
        if (staging == Staging::Complete) Put(staging_, kNew);
        if (staging == Staging::Incomplete) Put(staging_, Without(kNew, "Data\\f1.dat"));
        const Tree install_before = Read(install_);
        const Tree staging_before = Read(staging_);

        const std::vector<std::string> lines = RecoverInstallFolders(install_);

        EXPECT_EQ(Read(previous_), kMissing);
        // Staging is no business of the recovery: the installer clears it afterwards.
        EXPECT_EQ(Read(staging_), staging_before);
        if (!previous) {
          EXPECT_EQ(Read(install_), install_before);
          EXPECT_TRUE(lines.empty());
        } else if (install == Install::Complete) {
          EXPECT_EQ(Read(install_), kNew);
          ASSERT_EQ(lines.size(), 1u);
          EXPECT_EQ(lines[0], "Recovery: deleted " + previous_);
        } else {
          EXPECT_EQ(Read(install_), kOld);
          ASSERT_FALSE(lines.empty());
          EXPECT_EQ(lines.back(), "Recovery: put " + previous_ + " back");
        }
      }
    }
  }
}

TEST_F(FolderSwapTest, RenamesTheOldInstallAsideAndTheStagedOneIntoPlace) {
  for (bool had_install : {false, true}) {
    SCOPED_TRACE(had_install ? "over an install" : "first install");
    DeletePath(install_.c_str());
    DeletePath(previous_.c_str());
    if (had_install) Put(install_, kOld);
    Put(staging_, kNew);
    const SwapResult result = SwapInStagedInstall(staging_, install_);
    EXPECT_TRUE(result.placed);
    EXPECT_FALSE(result.copied);
    EXPECT_EQ(Read(install_), kNew);
    EXPECT_EQ(Read(staging_), kMissing);
    EXPECT_EQ(Read(previous_), had_install ? kOld : kMissing);
  }
}

TEST_F(FolderSwapTest, HeldOldInstallIsRetriedThenLeftAsItWas) {
  Put(install_, kOld);
  Put(staging_, kNew);
  SwapSteps steps;
  steps.hold_retry_ms = 1000;
  steps.retry_pause_ms = 250;
  unsigned waited = 0;
  steps.wait = [&](unsigned ms) { waited += ms; };
  steps.held_file = [&](const std::string& folder) { return folder + "\\quillbank ix.exe"; };
  const SwapResult result = SwapInStagedInstall(staging_, install_, steps);
  EXPECT_FALSE(result.placed);
  EXPECT_EQ(waited, 1000u);
  EXPECT_EQ(result.held, install_ + "\\quillbank ix.exe");
  ASSERT_EQ(result.lines.size(), 1u);
  EXPECT_NE(result.lines[0].find("held: " + install_ + "\\quillbank ix.exe"), std::string::npos);
  EXPECT_EQ(Read(install_), kOld);
  EXPECT_EQ(Read(staging_), kNew);
  EXPECT_EQ(Read(previous_), kMissing);

  // Let go of during the retries: the replace goes on.
  int probes = 0;
  steps.held_file = [&](const std::string& folder) {
    return ++probes <= 2 ? folder + "\\quillbank ix.exe" : std::string();
  };
  waited = 0;
  const SwapResult later = SwapInStagedInstall(staging_, install_, steps);
  EXPECT_TRUE(later.placed);
  EXPECT_TRUE(later.held.empty());
  EXPECT_EQ(waited, 500u);
  EXPECT_EQ(Read(install_), kNew);
  EXPECT_EQ(Read(previous_), kOld);
}

TEST_F(FolderSwapTest, StagingThatWillNotMoveIsCopiedWithModuleInfoLast) {
  Put(install_, kOld);
  Put(staging_, kNew);
  SwapSteps steps = StagingThatWillNotMove();
  std::vector<std::string> commands;
  steps.run = [&](const char* command, unsigned long* exit_code) {
    commands.push_back(command);
    // module.info is not there while the copy runs, so a copy cut short is never complete.
    EXPECT_FALSE(PathExists((staging_ + "\\module.info").c_str()));
    return RunAndWait(command, exit_code);
  };
  const SwapResult result = SwapInStagedInstall(staging_, install_, steps);
  EXPECT_TRUE(result.placed);
  EXPECT_TRUE(result.copied);
  ASSERT_EQ(commands.size(), 1u);
  EXPECT_EQ(commands[0], CopyCommand(staging_, install_));
  EXPECT_EQ(Read(install_), kNew);
  EXPECT_EQ(Read(previous_), kOld);
  EXPECT_EQ(Read(staging_), Without(kNew, "module.info"));
}

TEST_F(FolderSwapTest, ShortCopyPutsTheOldInstallBack) {
  Put(install_, kOld);
  Put(staging_, kNew);
  SwapSteps steps = StagingThatWillNotMove();
  // Reports success having copied one file only.
  steps.run = [&](const char*, unsigned long* exit_code) {
    Put(install_, {{"quillbank ix.exe", "new program"}});
    *exit_code = 0;
    return true;
  };
  const SwapResult result = SwapInStagedInstall(staging_, install_, steps);
  EXPECT_FALSE(result.placed);
  ASSERT_FALSE(result.lines.empty());
  EXPECT_NE(result.lines.back().find("incomplete at: Data\\"), std::string::npos);
  EXPECT_EQ(Read(install_), kOld);
  EXPECT_EQ(Read(previous_), kMissing);
  EXPECT_EQ(Read(staging_), kNew);
}

TEST_F(FolderSwapTest, PreviousLeftInTheWayStopsTheReplaceUntouched) {
  Put(install_, kOld);
  Put(previous_, kOld);
  Put(staging_, kNew);
  const SwapResult result = SwapInStagedInstall(staging_, install_);
  EXPECT_FALSE(result.placed);
  EXPECT_EQ(Read(install_), kOld);
  EXPECT_EQ(Read(previous_), kOld);
  EXPECT_EQ(Read(staging_), kNew);
}

}  // namespace
