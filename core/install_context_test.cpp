// The module list and the folder derivation.
#include "core/install_context.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

TEST(ModuleListTest, KeepsOrderAndRefusesIndexPastTheEnd) {
  ModuleList list;
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
}

TEST(SetUpPathsTest, DerivesTheThreeFoldersFromTheApplicationDataFolder) {
  InstallContext ctx;
  ctx.PackageNumber = "100201";
  SetUpPathsBelow("C:\\Users\\user\\AppData\\Roaming", &ctx);
  EXPECT_EQ(ctx.InstallDir, "C:\\Users\\user\\AppData\\Roaming\\Quillbank100201");
  EXPECT_EQ(ctx.StagingDir, "C:\\Users\\user\\AppData\\Roaming\\Quillbank100201temp");
  EXPECT_EQ(ctx.DependDir, "C:\\Users\\user\\AppData\\Roaming\\QuillbankDependBase");
  // A shell without the folder leaves the folder part empty.
  SetUpPathsBelow("", &ctx);
  EXPECT_EQ(ctx.InstallDir, "\\Quillbank100201");
  EXPECT_EQ(ctx.DependDir, "\\QuillbankDependBase");
}

}  // namespace
