// Extraction under Windows: a file held open without sharing brings the prompt (Retry once it is
// closed, Ignore keeps its old bytes), and the entry's time becomes creation and last-write time.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "base/win/scoped_handle.h"
#include "install/testing/unzip_test_support.h"
#include "install/unzip.h"
#include "test_support/temp_dir.h"

namespace {

class UnzipWinTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dest_ = temp_.Join("dest");
    ASSERT_TRUE(CreateDirectoryA(dest_.c_str(), nullptr));
    ASSERT_TRUE(WriteFileBytes(dest_ + "\\locked.txt", "old bytes"));
    lock_.reset(CreateFileA((dest_ + "\\locked.txt").c_str(), GENERIC_READ, /*dwShareMode=*/0,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(lock_.valid());
  }

  TempDir temp_;
  std::string dest_;
  ScopedHandle lock_;
};

TEST_F(UnzipWinTest, RetrySucceedsOnceTheLockIsGone) {
  PromptAnswers prompt({kPromptRetry}, [this](int asked) {
    if (asked == 2) lock_.reset();
  });
  TUnzip unzip(TestArchive("py_locked.zip").c_str(), &prompt);
  EXPECT_TRUE(unzip.ExtractAll(dest_.c_str()));
  EXPECT_EQ(prompt.texts.size(), 2u);
  EXPECT_EQ(ReadFileBytes(dest_ + "\\locked.txt"), ContentOf("locked.txt"));
  EXPECT_EQ(ReadFileBytes(dest_ + "\\last.txt"), ContentOf("last.txt"));
}

TEST_F(UnzipWinTest, IgnoreKeepsTheLockedFileAndAbortStops) {
  {
    PromptAnswers prompt({kPromptIgnore});
    TUnzip unzip(TestArchive("py_locked.zip").c_str(), &prompt);
    EXPECT_TRUE(unzip.ExtractAll(dest_.c_str()));
    EXPECT_EQ(ReadFileBytes(dest_ + "\\last.txt"), ContentOf("last.txt"));
  }
  {
    ASSERT_TRUE(DeleteFileA((dest_ + "\\last.txt").c_str()));
    PromptAnswers prompt({kPromptAbort});
    TUnzip unzip(TestArchive("py_locked.zip").c_str(), &prompt);
    EXPECT_FALSE(unzip.ExtractAll(dest_.c_str()));
    EXPECT_EQ(GetFileAttributesA((dest_ + "\\last.txt").c_str()), INVALID_FILE_ATTRIBUTES);
  }
  lock_.reset();
  EXPECT_EQ(ReadFileBytes(dest_ + "\\locked.txt"), "old bytes");
}

TEST_F(UnzipWinTest, CreationAndLastWriteTimeAreTheEntrysTimeReadAsLocalTime) {
  FILETIME before;
  GetSystemTimeAsFileTime(&before);
  TUnzip unzip(TestArchive("py_mixed.zip").c_str());
  ASSERT_TRUE(unzip.ExtractAll(dest_.c_str()));
  ScopedHandle file(CreateFileA((dest_ + "\\stored.txt").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(file.valid());
  FILETIME created, accessed, written;
  ASSERT_TRUE(GetFileTime(file.get(), &created, &accessed, &written));

  // 2019-05-17 13:45:30 in Asia/Shanghai (the test's TZ, UTC+8, no daylight saving) is 05:45:30 UTC.
  SYSTEMTIME utc = {};
  utc.wYear = 2019;
  utc.wMonth = 5;
  utc.wDay = 17;
  utc.wHour = 5;
  utc.wMinute = 45;
  utc.wSecond = 30;
  FILETIME expected;
  ASSERT_TRUE(SystemTimeToFileTime(&utc, &expected));
  EXPECT_EQ(CompareFileTime(&written, &expected), 0);
  EXPECT_EQ(CompareFileTime(&created, &expected), 0);
  // The last-access time is the moment of extraction (file times have a coarse clock).
  ULARGE_INTEGER access_time = {{accessed.dwLowDateTime, accessed.dwHighDateTime}};
  ULARGE_INTEGER start_time = {{before.dwLowDateTime, before.dwHighDateTime}};
  EXPECT_GE(access_time.QuadPart + 10000000ull, start_time.QuadPart);
}

}  // namespace
