// module.info, update.ini and the terminal's configuration files, written from the install
// context, the installed version and the module list.
#include "install/install_records.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "base/coding.h"
#include "base/file_system.h"
#include "core/install_context.h"
#include "install/profile_string.h"
#include "test_support/temp_dir.h"

namespace {

ModuleRecord Module(const char* key, const char* name, int32_t num1, int32_t num2, char kind) {
  ModuleRecord record;
  std::memset(&record, 0, sizeof record);
  std::strncpy(record.PackageKey, key, sizeof record.PackageKey - 1);
  std::strncpy(record.Name, name, sizeof record.Name - 1);
  record.Num1 = num1;
  record.Num2 = num2;
  record.Kind = kind;
  std::memcpy(record.Tail, "TAILTAIL", 8);
  return record;
}

class InstallRecordsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ctx_.StagingDir = temp_.Join("staging");
    ctx_.InstallDir = temp_.Join("install");
    ctx_.PackageNumber = "100201";
    ctx_.LanguageId = 0x0804;
    ASSERT_TRUE(MakeDirectory(ctx_.StagingDir.c_str()));
  }

  TempDir temp_;
  InstallContext ctx_;
  VersionPair latest_{1234, 5};
  ModuleList modules_;
};

TEST_F(InstallRecordsTest, ModuleInfoHoldsTheVersionAndEveryRecordInListOrder) {
  const ModuleRecord records[] = {Module("K1", "quillbank ix.exe", 1, -2, 'F'),
                                  Module("K2", "base.dat", 300, 4, 'D'),
                                  Module("K3", "config\\skin.ini", -5, 6, 'X')};
  for (const ModuleRecord& r : records) modules_.Append(r);
  EXPECT_TRUE(WriteModuleInfo(ctx_.StagingDir, latest_, modules_));

  const std::string bytes = ReadFileBytes(temp_.Join("staging\\module.info"));
  ASSERT_EQ(bytes.size(), 8u + 3 * 79u);
  const uint8_t* data = reinterpret_cast<const uint8_t*>(bytes.data());
  EXPECT_EQ(DecodeSigned32(data), 1234);
  EXPECT_EQ(DecodeSigned32(data + 4), 5);
  for (size_t i = 0; i < 3; ++i) {
    uint8_t expected[kModuleRecordSize];
    EncodeModuleRecord(records[i], expected);
    EXPECT_EQ(std::memcmp(data + 8 + 79 * i, expected, sizeof expected), 0) << i;
  }
  EXPECT_EQ(data[8 + 79 + kModuleRecordKindOffset], 'D');
}

TEST_F(InstallRecordsTest, ModuleInfoOfAnEmptyListIsTheVersionAlone) {
  latest_ = VersionPair{-1, 0x01020304};
  EXPECT_TRUE(WriteModuleInfo(ctx_.StagingDir, latest_, modules_));
  EXPECT_EQ(ReadFileBytes(temp_.Join("staging\\module.info")),
            std::string("\xFF\xFF\xFF\xFF\x04\x03\x02\x01", 8));
}

TEST_F(InstallRecordsTest, ModuleInfoThatCannotBeCreatedIsReported) {
  ctx_.StagingDir = temp_.Join("missing");
  EXPECT_FALSE(WriteModuleInfo(ctx_.StagingDir, latest_, modules_));
  EXPECT_FALSE(PathExists(temp_.Join("missing\\module.info").c_str()));
}

TEST_F(InstallRecordsTest, UpdateIniThatCannotBeWrittenIsReported) {
  ctx_.StagingDir = temp_.Join("missing");
  EXPECT_FALSE(WriteUpdateIni(ctx_.StagingDir, latest_));
  EXPECT_FALSE(PathExists(temp_.Join("missing\\update.ini").c_str()));
}

TEST_F(InstallRecordsTest, UpdateIniCarriesTheLatestVersionAndKeepsOtherKeys) {
  EXPECT_TRUE(WriteUpdateIni(ctx_.StagingDir, latest_));
  const std::string path = temp_.Join("staging\\update.ini");
  EXPECT_EQ(ReadFileBytes(path), "[version]\r\ncur=9.3.1234.5\r\n");

  ASSERT_TRUE(WriteProfileValue("version", "channel", "stable", path.c_str()));
  ASSERT_TRUE(WriteProfileValue("other", "kept", "yes", path.c_str()));
  latest_ = VersionPair{-7, 12};
  EXPECT_TRUE(WriteUpdateIni(ctx_.StagingDir, latest_));
  EXPECT_EQ(ReadFileBytes(path),
            "[version]\r\ncur=9.3.-7.12\r\nchannel=stable\r\n[other]\r\nkept=yes\r\n");
}

TEST_F(InstallRecordsTest, TerminalConfigCarriesPackageAndLanguage) {
  ASSERT_TRUE(MakeDirectory(ctx_.InstallDir.c_str()));
  ASSERT_TRUE(MakeDirectory(temp_.Join("install\\config").c_str()));
  EXPECT_TRUE(WriteTerminalConfig(ctx_));
  EXPECT_EQ(ReadFileBytes(temp_.Join("install\\config\\quillbank.Default.pub")),
            "[quillbank]\r\npackage=100201\r\n");
  EXPECT_EQ(ReadFileBytes(temp_.Join("install\\config\\quillbank.Default.pri")),
            "[quillbank]\r\nlanguage=2052\r\n");

  ctx_.LanguageId = 0x0404;
  EXPECT_TRUE(WriteTerminalConfig(ctx_));
  EXPECT_EQ(ReadFileBytes(temp_.Join("install\\config\\quillbank.Default.pri")),
            "[quillbank]\r\nlanguage=1028\r\n");
}

TEST_F(InstallRecordsTest, WithoutConfigFolderNoConfigurationFileIsWritten) {
  ASSERT_TRUE(MakeDirectory(ctx_.InstallDir.c_str()));
  EXPECT_FALSE(WriteTerminalConfig(ctx_));
  EXPECT_FALSE(PathExists(temp_.Join("install\\config").c_str()));
  EXPECT_FALSE(PathExists(temp_.Join("install\\config\\quillbank.Default.pub").c_str()));
}

}  // namespace

namespace {

// The version an install's update.ini names, as written by WriteUpdateIni and by hand.
TEST_F(InstallRecordsTest, InstalledVersionIsReadBackOnlyInItsOwnForm) {
  const std::string staging = ctx_.StagingDir;
  ASSERT_TRUE(WriteUpdateIni(ctx_.StagingDir, latest_));
  VersionPair version;
  ASSERT_TRUE(ReadInstalledVersion(staging, &version));
  EXPECT_EQ(version.Part3, 1234);
  EXPECT_EQ(version.Part4, 5);

  const std::string ini = staging + "\\update.ini";
  for (const char* bad : {"9.3.5", "9.3.5.16x", "9.3.5..16", "9.4.5.16", "9.3.1234567890.1",
                          "9.3.-1.2", ""}) {
    ASSERT_TRUE(WriteFileBytes(ini, std::string("[version]\r\ncur=") + bad + "\r\n"));
    version = VersionPair{7, 7};
    EXPECT_FALSE(ReadInstalledVersion(staging, &version)) << bad;
    EXPECT_EQ(version.Part3, 7) << bad;
  }
  ASSERT_TRUE(WriteFileBytes(ini, "[Version]\r\n  CUR = 9.3.6.0\r\n"));
  ASSERT_TRUE(ReadInstalledVersion(staging, &version));
  EXPECT_EQ(version.Part3, 6);
  EXPECT_EQ(version.Part4, 0);
  EXPECT_FALSE(ReadInstalledVersion(ctx_.InstallDir, &version));  // no file
}

}  // namespace
