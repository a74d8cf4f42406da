// The native stand-ins of the system integration: deletion and the copy command on test folders,
// and the Path decisions over the Windows version and the Paths that tests set.
#include "install/system.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "base/file_system.h"
#include "core/install_context.h"
#include "install/testing/system_stand_in.h"
#include "install/testing/unzip_test_support.h"
#include "test_support/temp_dir.h"

namespace {

const char kDepend[] = "C:\\Users\\u\\AppData\\Roaming\\QuillbankDependBase";

class SystemStandInTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetWindowsMajorVersionForTest(10);
    SetProcessPathForTest("");
    SetStoredUserPathForTest(false, "");
  }
};

TEST_F(SystemStandInTest, DeletePathRemovesATreeOrAFileAndFailsOnAMissingPath) {
  TempDir temp;
  ASSERT_TRUE(MakeDirectory(temp.Join("tree").c_str()));
  ASSERT_TRUE(MakeDirectory(temp.Join("tree\\sub").c_str()));
  ASSERT_TRUE(WriteFileBytes(temp.Join("tree\\sub\\f.txt"), "x"));
  ASSERT_TRUE(WriteFileBytes(temp.Join("file.txt"), "x"));
  EXPECT_TRUE(DeletePath(temp.Join("tree").c_str()));
  EXPECT_TRUE(DeletePath(temp.Join("file.txt").c_str()));
  EXPECT_TRUE(ListTree(temp.path()).empty());
  EXPECT_FALSE(DeletePath(temp.Join("tree").c_str()));
  EXPECT_FALSE(DeletePath(""));
}

// A user may keep the terminal's history on another drive through a link inside the install:
// deleting the install (or staging, ".previous", recovery) removes the link and never what it
// points at. A link to a folder, one to a file, one that points back up at the tree's own parent,
// and a dangling one; a read-only file goes with the rest.
TEST_F(SystemStandInTest, DeletePathRemovesLinksWithoutFollowingThem) {
  namespace fs = std::filesystem;
  TempDir temp;
  const fs::path root = temp.path();
  fs::create_directories(root / "outside" / "history");
  ASSERT_TRUE(WriteFileBytes(temp.Join("outside\\history\\keep.dat"), "history"));
  ASSERT_TRUE(WriteFileBytes(temp.Join("outside\\file.dat"), "file"));
  fs::create_directories(root / "tree" / "sub");
  ASSERT_TRUE(WriteFileBytes(temp.Join("tree\\sub\\f.txt"), "x"));
  ASSERT_TRUE(WriteFileBytes(temp.Join("tree\\readonly.dat"), "r"));
  fs::permissions(root / "tree" / "readonly.dat", fs::perms::owner_read);
  fs::create_directory_symlink(root / "outside" / "history", root / "tree" / "history");
  fs::create_symlink(root / "outside" / "file.dat", root / "tree" / "sub" / "file.lnk");
  fs::create_directory_symlink(root, root / "tree" / "sub" / "up");
  fs::create_symlink(root / "nowhere", root / "tree" / "dangling");

  std::string left;
  EXPECT_TRUE(DeletePath(temp.Join("tree").c_str(), &left));
  EXPECT_EQ(left, "");
  EXPECT_FALSE(fs::exists(fs::symlink_status(root / "tree")));
  EXPECT_EQ(ReadFileBytes(temp.Join("outside\\history\\keep.dat")), "history");
  EXPECT_EQ(ReadFileBytes(temp.Join("outside\\file.dat")), "file");

  // A link given as the path itself: the link goes, its target stays.
  fs::create_directory_symlink(root / "outside" / "history", root / "link");
  EXPECT_TRUE(DeletePath(temp.Join("link").c_str()));
  EXPECT_FALSE(fs::exists(fs::symlink_status(root / "link")));
  EXPECT_EQ(ReadFileBytes(temp.Join("outside\\history\\keep.dat")), "history");
}

TEST_F(SystemStandInTest, TheCopyCommandCopiesTheTreeWithEmptyFolders) {
  TempDir temp;
  const std::string staging = temp.Join("staging");
  const std::string install = temp.Join("install");
  ASSERT_TRUE(MakeDirectory(staging.c_str()));
  ASSERT_TRUE(MakeDirectory((staging + "\\a").c_str()));
  ASSERT_TRUE(MakeDirectory((staging + "\\a\\b").c_str()));
  ASSERT_TRUE(MakeDirectory((staging + "\\empty").c_str()));
  ASSERT_TRUE(WriteFileBytes(staging + "\\top.txt", "top"));
  ASSERT_TRUE(WriteFileBytes(staging + "\\a\\b\\deep.txt", "deep"));
  const std::string command =
      "cmd.exe /c XCOPY \"" + staging + "\" \"" + install + "\\\" /S /E /Y /C";
  EXPECT_TRUE(RunAndWait(command.c_str()));
  EXPECT_EQ(ListTree(install), ListTree(staging));
  EXPECT_EQ(ReadFileBytes(install + "\\a\\b\\deep.txt"), "deep");

  const std::string missing =
      "cmd.exe /c XCOPY \"" + temp.Join("nothing") + "\" \"" + install + "\\\" /S /E /Y /C";
  EXPECT_FALSE(RunAndWait(missing.c_str()));
  EXPECT_FALSE(RunAndWait("exit 3"));
  EXPECT_TRUE(RunAndWait("exit 0"));
}

TEST_F(SystemStandInTest, BaseZipIsNeededBeforeWindows10WithoutDependDirInThePath) {
  EXPECT_FALSE(BaseZipNeeded(kDepend));
  EXPECT_FALSE(StoredUserPathExistsForTest());

  SetWindowsMajorVersionForTest(6);
  SetProcessPathForTest(std::string("C:\\Windows;") + kDepend);
  EXPECT_FALSE(BaseZipNeeded(kDepend));
  EXPECT_FALSE(StoredUserPathExistsForTest());

  SetProcessPathForTest("C:\\Windows");
  EXPECT_TRUE(BaseZipNeeded(kDepend));
  EXPECT_EQ(StoredUserPathForTest(), kDepend);
  EXPECT_EQ(StoredUserPathWritesForTest(), 1);
}

}  // namespace
