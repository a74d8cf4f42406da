// The copy check against real folders: complete copies pass; a missing, shorter or longer file,
// or an unreadable source, fails and names the file.
#include "install/copy_check.h"

#include <gtest/gtest.h>

#include <string>

#include "base/file_system.h"
#include "base/make_path_dirs.h"
#include "install/system.h"
#include "test_support/temp_dir.h"

namespace {

class CopyCheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    from_ = dir_.Join("from");
    to_ = dir_.Join("to");
    Put(from_ + "\\a.exe", "program");
    Put(from_ + "\\Data\\Quotes\\q.day", std::string(5000, 'q'));
    Put(from_ + "\\Data\\empty.dat", "");
  }
  static void Put(const std::string& path, const std::string& bytes) {
    ASSERT_TRUE(MakePathDirs(path.c_str()));
    ASSERT_TRUE(WriteFileBytes(path, bytes));
  }
  void CopyAll() {
    Put(to_ + "\\a.exe", "program");
    Put(to_ + "\\Data\\Quotes\\q.day", std::string(5000, 'q'));
    Put(to_ + "\\Data\\empty.dat", "");
  }
  TempDir dir_;
  std::string from_, to_;
};

TEST_F(CopyCheckTest, CompleteCopyPassesAndExtraFilesInTheTargetDoNotMatter) {
  CopyAll();
  Put(to_ + "\\log\\old.log", "kept from before");
  std::string bad = "unchanged";
  EXPECT_TRUE(CopyIsComplete(from_, to_, &bad));
  EXPECT_EQ(bad, "");
}

TEST_F(CopyCheckTest, MissingTruncatedOrGrownFileFailsAndIsNamed) {
  CopyAll();
  Put(to_ + "\\Data\\Quotes\\q.day", std::string(4999, 'q'));
  std::string bad;
  EXPECT_FALSE(CopyIsComplete(from_, to_, &bad));
  EXPECT_EQ(bad, "Data\\Quotes\\q.day");

  Put(to_ + "\\Data\\Quotes\\q.day", std::string(5001, 'q'));
  EXPECT_FALSE(CopyIsComplete(from_, to_, &bad));

  Put(to_ + "\\Data\\Quotes\\q.day", std::string(5000, 'q'));
  DeletePath((to_ + "\\Data\\empty.dat").c_str());
  EXPECT_FALSE(CopyIsComplete(from_, to_, &bad));
  EXPECT_EQ(bad, "Data\\empty.dat");
}

TEST_F(CopyCheckTest, AFolderWhereAFileBelongsFails) {
  CopyAll();
  DeletePath((to_ + "\\a.exe").c_str());
  ASSERT_TRUE(MakePathDirs((to_ + "\\a.exe\\inside").c_str()));
  EXPECT_FALSE(CopyIsComplete(from_, to_, nullptr));
}

TEST_F(CopyCheckTest, UnreadableSourceFails) {
  std::string bad = "x";
  EXPECT_FALSE(CopyIsComplete(dir_.Join("no-such-folder"), to_, &bad));
  EXPECT_EQ(bad, "");
}

}  // namespace
