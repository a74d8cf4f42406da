// Native stand-in specifics of extraction: the entry's DOS time read as local time lands in the
// modification time, and without a test's answer nobody is asked.
#include "install/unzip.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>
#include <string>

#include "base/file_system.h"
#include "install/testing/unzip_test_support.h"
#include "test_support/temp_dir.h"

namespace {

TEST(UnzipPosixTest, ModificationTimeIsTheEntrysTimeReadAsLocalTime) {
  // The test runs with TZ=Asia/Shanghai (UTC+8, no daylight saving).
  TempDir temp;
  const std::string dest = temp.Join("dest");
  const time_t before = std::time(nullptr);
  TUnzip unzip(TestArchive("py_mixed.zip").c_str());
  ASSERT_TRUE(unzip.ExtractAll(dest.c_str()));
  struct stat info;
  ASSERT_EQ(stat(NativePath(dest + "\\stored.txt").c_str(), &info), 0);
  std::tm utc{};
  utc.tm_year = 2019 - 1900;
  utc.tm_mon = 4;
  utc.tm_mday = 17;
  utc.tm_hour = 13 - 8;
  utc.tm_min = 45;
  utc.tm_sec = 30;
  EXPECT_EQ(info.st_mtime, timegm(&utc));
  // The last-access time is the moment of extraction, not the entry's.
  EXPECT_GE(info.st_atime, before - 1);
}

TEST(UnzipPosixTest, WithoutAnAnswerTheBlockedEntryFails) {
  TempDir temp;
  const std::string dest = temp.Join("dest");
  ASSERT_TRUE(MakeDirectory(dest.c_str()));
  ASSERT_TRUE(MakeDirectory((dest + "\\locked.txt").c_str()));
  TUnzip unzip(TestArchive("py_locked.zip").c_str());
  EXPECT_FALSE(unzip.ExtractAll(dest.c_str()));
  EXPECT_FALSE(PathExists((dest + "\\last.txt").c_str()));
}

}  // namespace
