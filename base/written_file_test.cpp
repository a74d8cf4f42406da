// Files with two names (hard links): what the file layer makes of them, and that a file written
// again is a new file, never the old one written through.
#include "base/written_file.h"

#include <gtest/gtest.h>

#include <string>

#include "base/file_system.h"
#include "test_support/temp_dir.h"

namespace {

TEST(WrittenFileTest, AFileWrittenAgainLeavesItsOtherNameAlone) {
  TempDir dir;
  const std::string installed = dir.Join("installed.dat");
  const std::string staged = dir.Join("staged.dat");
  ASSERT_TRUE(WriteFileBytes(installed, "the installed bytes"));
  ASSERT_TRUE(LinkFile(installed.c_str(), staged.c_str()));
  EXPECT_EQ(ReadFileBytes(staged), "the installed bytes");
  // A name already taken, a folder, nothing at all: no link.
  EXPECT_FALSE(LinkFile(installed.c_str(), staged.c_str()));
  EXPECT_FALSE(LinkFile(dir.path().c_str(), dir.Join("folder-link").c_str()));
  EXPECT_FALSE(LinkFile(dir.Join("none").c_str(), dir.Join("none-link").c_str()));

  WrittenFile file;
  ASSERT_TRUE(file.Open(staged, 16));
  ASSERT_TRUE(file.Write("downloaded", 10));
  ASSERT_TRUE(file.Close());
  EXPECT_EQ(ReadFileBytes(staged), "downloaded");
  EXPECT_EQ(ReadFileBytes(installed), "the installed bytes");
}

}  // namespace
