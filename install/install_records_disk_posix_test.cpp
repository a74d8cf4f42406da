// module.info and update.ini on a full disk (a file-size limit makes writes fail with EFBIG): a
// file the disk does not take in full is reported and not left behind as if it were good.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "base/file_system.h"
#include "core/install_context.h"
#include "install/install_records.h"
#include "test_support/file_size_limit_posix.h"
#include "test_support/temp_dir.h"

namespace {

class InstallRecordsDiskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(MakeDirectory(staging_.c_str()));
  }

  void AddModules(size_t count) {
    for (size_t i = 0; i < count; ++i) {
      ModuleRecord record;
      std::memset(&record, 0, sizeof record);
      std::snprintf(record.Name, sizeof record.Name, "module-%zu", i);
      record.Kind = 'F';
      modules_.Append(record);
    }
  }

  TempDir temp_;
  const std::string staging_ = temp_.Join("staging");
  const VersionPair latest_{1234, 5};
  ModuleList modules_;
};

TEST_F(InstallRecordsDiskTest, ModuleInfoTheDiskDoesNotTakeIsReportedAndRemoved) {
  // 8 + 79 x 100 = 7908 bytes: cut short in the middle of the records, and by one byte (which
  // stays in the stream's buffer until the close).
  AddModules(100);
  for (const rlim_t limit : {rlim_t{4000}, rlim_t{7907}}) {
    SCOPED_TRACE(limit);
    {
      FileSizeLimit small(limit);
      ASSERT_TRUE(small.ok());
      EXPECT_FALSE(WriteModuleInfo(staging_, latest_, modules_));
    }
    EXPECT_FALSE(PathExists(temp_.Join("staging\\module.info").c_str()));
  }
  // Exactly the size fits.
  {
    FileSizeLimit exact(7908);
    ASSERT_TRUE(exact.ok());
    EXPECT_TRUE(WriteModuleInfo(staging_, latest_, modules_));
  }
  EXPECT_EQ(ReadFileBytes(temp_.Join("staging\\module.info")).size(), 7908u);
}

TEST_F(InstallRecordsDiskTest, UpdateIniTheDiskDoesNotTakeIsReportedAndRemoved) {
  {
    FileSizeLimit tiny(10);
    ASSERT_TRUE(tiny.ok());
    EXPECT_FALSE(WriteUpdateIni(staging_, latest_));
  }
  EXPECT_FALSE(PathExists(temp_.Join("staging\\update.ini").c_str()));
  EXPECT_TRUE(WriteUpdateIni(staging_, latest_));
  EXPECT_EQ(ReadFileBytes(temp_.Join("staging\\update.ini")), "[version]\r\ncur=9.3.1234.5\r\n");
}

}  // namespace
