// Folder derivation when the shell has no application-data folder (native stand-in only: a real
// shell always has one).
#include <gtest/gtest.h>

#include "base/special_folder.h"
#include "core/install_context.h"

TEST(SetUpPathsTest, UnavailableApplicationDataFolderLeavesTheFolderPartEmpty) {
  InstallContext& ctx = InstallContext::Get();
  ctx.InstallDir.clear();
  SetSpecialFolderForTest(kCsidlAppData, nullptr);
  SetUpPaths();
  EXPECT_EQ(ctx.InstallDir, "\\Quillbank100201");
  EXPECT_EQ(ctx.StagingDir, "\\Quillbank100201temp");
  EXPECT_EQ(ctx.DependDir, "\\QuillbankDependBase");
}
