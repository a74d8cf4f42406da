// Folder derivation from the real shell folder and string 102 of the program's resources.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "core/install_context.h"

TEST(SetUpPathsWinTest, UsesTheShellsApplicationDataFolderAndString102) {
  const char* appdata = std::getenv("APPDATA");
  ASSERT_NE(appdata, nullptr);
  InstallContext& ctx = InstallContext::Get();
  ctx.InstallDir.clear();
  SetUpPaths();
  EXPECT_EQ(ctx.InstallDir, std::string(appdata) + "\\Quillbank100201");
  EXPECT_EQ(ctx.StagingDir, std::string(appdata) + "\\Quillbank100201temp");
  EXPECT_EQ(ctx.DependDir, std::string(appdata) + "\\QuillbankDependBase");
}
