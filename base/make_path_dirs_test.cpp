// Folder creation along a file path: what is made, the length limit, a failed folder.
#include "base/make_path_dirs.h"

#include <gtest/gtest.h>

#include <string>

#include "base/file_system.h"
#include "test_support/temp_dir.h"

namespace {

TEST(MakePathDirsTest, CreatesTheFoldersOfAFilePathButNotTheFile) {
  TempDir dir;
  const std::string staging = dir.Join("Quillbank100201temp");
  const std::string log = staging + "\\log\\install.log";
  ASSERT_TRUE(MakePathDirs(log.c_str()));
  EXPECT_TRUE(PathExists(staging.c_str()));
  EXPECT_TRUE(PathExists((staging + "\\log").c_str()));
  EXPECT_FALSE(PathExists(log.c_str()));

  // Both exist: nothing more is created and the call still succeeds.
  ASSERT_TRUE(MakePathDirs(log.c_str()));
  EXPECT_FALSE(PathExists(log.c_str()));
}

TEST(MakePathDirsTest, RefusesPathsOver259CharactersAndStopsAtAFailedFolder) {
  TempDir dir;
  std::string path = dir.Join("a\\");
  path += std::string(259 - path.size(), 'x');
  ASSERT_EQ(path.size(), 259u);
  EXPECT_TRUE(MakePathDirs(path.c_str()));
  EXPECT_TRUE(PathExists(dir.Join("a").c_str()));

  std::string too_long = dir.Join("b\\");
  too_long += std::string(260 - too_long.size(), 'x');
  EXPECT_FALSE(MakePathDirs(too_long.c_str()));
  EXPECT_FALSE(PathExists(dir.Join("b").c_str()));

  // A file where a folder must go: creating the folder fails.
  ASSERT_TRUE(WriteFileBytes(dir.Join("file"), "x"));
  EXPECT_FALSE(MakePathDirs(dir.Join("file\\sub\\name.txt").c_str()));

  EXPECT_TRUE(MakePathDirs("no-backslash-at-all.txt"));
  EXPECT_FALSE(PathExists("no-backslash-at-all.txt"));
}

}  // namespace
