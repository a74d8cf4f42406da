// The install context, the module record layout, the folder derivation and MakePathDirs.
#include "core/install_context.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <thread>
#include <vector>

#include "base/file_system.h"
#include "base/special_folder.h"
#include "test_support/temp_dir.h"

namespace {

void ResetFolders() {
  InstallContext& ctx = InstallContext::Get();
  ctx.InstallDir.clear();
  ctx.StagingDir.clear();
  ctx.DependDir.clear();
}

TEST(InstallContextTest, FreshContextIsEmptyAndBuiltOnceUnderConcurrentFirstCalls) {
  std::vector<InstallContext*> seen(8, nullptr);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < seen.size(); ++i) {
    threads.emplace_back([&seen, i] { seen[i] = &InstallContext::Get(); });
  }
  for (auto& t : threads) t.join();
  for (InstallContext* p : seen) EXPECT_EQ(p, seen[0]);

  const InstallContext& ctx = InstallContext::Get();
  EXPECT_EQ(ctx.InstalledVersion.Part3, 0);
  EXPECT_EQ(ctx.InstalledVersion.Part4, 0);
  EXPECT_EQ(ctx.LatestVersion.Part3, 0);
  EXPECT_EQ(ctx.DownloadPort, 0);
  for (char c : ctx.DownloadHost) EXPECT_EQ(c, 0);
}

TEST(ModuleRecordTest, SeventyNineBytesWithFieldsAtTheirOffsets) {
  uint8_t wire[kModuleRecordSize];
  for (size_t i = 0; i < sizeof wire; ++i) wire[i] = static_cast<uint8_t>(i + 1);
  // Num1 = 0x12345678 and Num2 = -2, little-endian.
  const uint8_t num1[4] = {0x78, 0x56, 0x34, 0x12};
  std::memcpy(wire + 62, num1, 4);
  const uint8_t num2[4] = {0xFE, 0xFF, 0xFF, 0xFF};
  std::memcpy(wire + 66, num2, 4);
  wire[70] = 'D';

  const ModuleRecord record = DecodeModuleRecord(wire);
  EXPECT_EQ(+record.Num1, 0x12345678);  // + : packed fields do not bind to references
  EXPECT_EQ(+record.Num2, -2);
  EXPECT_EQ(record.Kind, 'D');
  EXPECT_EQ(static_cast<uint8_t>(record.Name[0]), 12);
  EXPECT_EQ(static_cast<uint8_t>(record.Tail[7]), 79);

  uint8_t back[kModuleRecordSize + 1];
  back[kModuleRecordSize] = 0xAA;  // guard byte: nothing is written past the record
  EncodeModuleRecord(record, back);
  EXPECT_EQ(0, std::memcmp(wire, back, kModuleRecordSize));
  EXPECT_EQ(back[kModuleRecordSize], 0xAA);
}

TEST(ModuleListTest, KeepsOrderAndRefusesIndexPastTheEnd) {
  ModuleList& list = ModuleList::Get();
  list.ClearForTest();
  ModuleRecord a{};
  a.Num1 = 1;
  ModuleRecord b{};
  b.Num1 = 2;
  list.Append(a);
  list.Append(b);
  ASSERT_EQ(list.Count(), 2u);
  EXPECT_EQ(+list.At(0).Num1, 1);
  EXPECT_EQ(+list.At(1).Num1, 2);
  try {
    list.At(2);
    FAIL() << "index past the end accepted";
  } catch (const std::out_of_range& e) {
    EXPECT_STREQ(e.what(), "invalid vector<T> subscript");
  }
  list.ClearForTest();
}

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

TEST(SetUpPathsTest, DerivesTheThreeFoldersFromTheApplicationDataFolder) {
  ResetFolders();
  SetSpecialFolderForTest(kCsidlAppData, "C:\\Users\\user\\AppData\\Roaming");
  SetUpPaths();
  const InstallContext& ctx = InstallContext::Get();
  // The Windows build asks the real shell; its own test checks that side.
  if (ctx.InstallDir.rfind("C:\\Users\\user", 0) == 0) {
    EXPECT_EQ(ctx.InstallDir, "C:\\Users\\user\\AppData\\Roaming\\Quillbank100201");
    EXPECT_EQ(ctx.StagingDir, "C:\\Users\\user\\AppData\\Roaming\\Quillbank100201temp");
    EXPECT_EQ(ctx.DependDir, "C:\\Users\\user\\AppData\\Roaming\\QuillbankDependBase");
  }
  EXPECT_EQ(ctx.StagingDir, ctx.InstallDir + "temp");
}

}  // namespace
