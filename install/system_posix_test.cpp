// The native stand-ins of the system integration: deletion and the copy command on test folders,
// and the Path decisions over the Windows version and the Paths that tests set.
#include "install/system.h"

#include <gtest/gtest.h>

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
    InstallContext::Get().DependDir = kDepend;
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
  EXPECT_FALSE(BaseZipNeeded());
  EXPECT_FALSE(StoredUserPathExistsForTest());

  SetWindowsMajorVersionForTest(6);
  SetProcessPathForTest(std::string("C:\\Windows;") + kDepend);
  EXPECT_FALSE(BaseZipNeeded());
  EXPECT_FALSE(StoredUserPathExistsForTest());

  SetProcessPathForTest("C:\\Windows");
  EXPECT_TRUE(BaseZipNeeded());
  EXPECT_EQ(StoredUserPathForTest(), kDepend);
  EXPECT_EQ(StoredUserPathWritesForTest(), 1);
}

}  // namespace
