// The install context and the module list (the folder derivation: install_context_posix_test.cpp
// against the native stand-in, install_context_win_test.cpp against the shell).
#include "core/install_context.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>
#include <vector>

namespace {

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

}  // namespace
