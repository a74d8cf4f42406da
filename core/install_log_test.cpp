// The install log's line format, its open/close life and writers racing the close.
#include "core/install_log.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "test_support/temp_dir.h"

namespace {

class InstallLogTest : public ::testing::Test {
 protected:
  void TearDown() override { CloseInstallLog(); }
  std::string LogBytes() { return ReadFileBytes(staging_ + "\\log\\install.log"); }
  TempDir dir_;
  const std::string staging_ = dir_.Join("Quillbank100201temp");
};

TEST_F(InstallLogTest, LineIsTheCallersBytesPlusCrLf) {
  ASSERT_TRUE(OpenInstallLog(staging_));
  WriteLog("ProcessCheck\xA3\xBAQryCheckUpdate");
  WriteLog("");
  WriteLog(nullptr);
  EXPECT_EQ(LogBytes(), std::string("ProcessCheck\xA3\xBAQryCheckUpdate\r\n\r\n"));
}

TEST_F(InstallLogTest, NothingIsWrittenWithoutAnOpenLogAndOnlyAReopenAppends) {
  WriteLog("before");  // no log yet: dropped
  ASSERT_TRUE(OpenInstallLog(staging_));
  WriteLog("first attempt");
  CloseInstallLog();
  WriteLog("after close");  // dropped
  EXPECT_FALSE(IsInstallLogOpen());
  EXPECT_EQ(LogBytes(), "first attempt\r\n");

  ASSERT_TRUE(OpenInstallLog(staging_));
  WriteLog("second attempt");
  EXPECT_EQ(LogBytes(), "second attempt\r\n");

  // Opened again after the close, for what a failed install step has to say: appended.
  CloseInstallLog();
  ASSERT_TRUE(ReopenInstallLog(staging_));
  WriteLog("the replace failed");
  EXPECT_EQ(LogBytes(), "second attempt\r\nthe replace failed\r\n");
}

TEST_F(InstallLogTest, LogThatCannotBeCreatedLeavesWritesHarmless) {
  // A file where the staging folder must go.
  ASSERT_TRUE(WriteFileBytes(staging_, "x"));
  EXPECT_FALSE(OpenInstallLog(staging_));
  WriteLog("dropped");
  EXPECT_FALSE(IsInstallLogOpen());
}

TEST_F(InstallLogTest, WritersRacingTheCloseNeverCrashOrInterleave) {
  ASSERT_TRUE(OpenInstallLog(staging_));
  const std::string line_a(300, 'a');
  const std::string line_b(300, 'b');
  std::atomic<bool> go{false};
  std::atomic<int> written{0};
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([&, t] {
      while (!go) std::this_thread::yield();
      for (int i = 0; i < 500; ++i) {
        WriteLog((t % 2 ? line_a : line_b).c_str());
        ++written;
      }
    });
  }
  go = true;
  // Close while the writers are busy: after some lines are in, before all of them are.
  while (written < 8) std::this_thread::yield();
  CloseInstallLog();
  for (auto& w : writers) w.join();

  const std::string bytes = LogBytes();
  ASSERT_EQ(bytes.size() % (line_a.size() + 2), 0u);
  for (size_t pos = 0; pos < bytes.size(); pos += line_a.size() + 2) {
    const std::string line = bytes.substr(pos, line_a.size() + 2);
    EXPECT_TRUE(line == line_a + "\r\n" || line == line_b + "\r\n") << "at " << pos;
  }
}

}  // namespace
