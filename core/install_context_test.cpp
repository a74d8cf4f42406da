// The install context, the module list and the folder derivation.
#include "core/install_context.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>
#include <vector>

#include "base/special_folder.h"

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
