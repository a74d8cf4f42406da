// A written file on a full disk: the failure is reported where it happens (a write, or the close
// that flushes the buffer), and a full disk is told apart from other failures, which the
// installer's exit code reports separately.
#include "base/written_file.h"

#include <gtest/gtest.h>

#include <string>

#include "base/file_system.h"
#include "test_support/file_size_limit_posix.h"
#include "test_support/temp_dir.h"

namespace {

TEST(WrittenFileTest, AFullDiskFailsTheCloseOrTheWriteAndSaysSo) {
  // /dev/full takes nothing: a write that fits the buffer fails only at the close.
  WrittenFile file;
  ASSERT_TRUE(file.Open("/dev/full", 4096));
  EXPECT_TRUE(file.Write("abc", 3));
  EXPECT_FALSE(file.Close());
  EXPECT_TRUE(file.disk_full());
  // A write past the buffer fails at once.
  ASSERT_TRUE(file.Open("/dev/full", 16));
  EXPECT_FALSE(file.disk_full());  // a new file starts clean
  const std::string big(64, 'x');
  EXPECT_FALSE(file.Write(big.data(), big.size()));
  EXPECT_TRUE(file.disk_full());
  file.Drop();
}

TEST(WrittenFileTest, OtherFailuresAreNoFullDisk) {
  TempDir dir;
  WrittenFile file;
  EXPECT_FALSE(file.Open(dir.path() + "/no such folder/x.bin", 16));
  EXPECT_FALSE(file.disk_full());
  // A file that may grow no further (EFBIG): failed, but the disk is not full.
  FileSizeLimit limit(8);
  ASSERT_TRUE(limit.ok());
  ASSERT_TRUE(file.Open(dir.path() + "/limited.bin", 4));
  const std::string bytes(32, 'y');
  const bool wrote = file.Write(bytes.data(), bytes.size());
  const bool closed = file.Close();
  EXPECT_FALSE(wrote && closed);
  EXPECT_FALSE(file.disk_full());
  // Nothing open: nothing to report.
  EXPECT_TRUE(file.Close());
}

}  // namespace
