// Folder derivation from the real shell folder.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "core/install_context.h"

TEST(SetUpPathsWinTest, UsesTheShellsApplicationDataFolder) {
  const char* appdata = std::getenv("APPDATA");
  ASSERT_NE(appdata, nullptr);
  InstallContext ctx;
  ctx.PackageNumber = "100201";
  SetUpPaths(&ctx);
  EXPECT_EQ(ctx.InstallDir, std::string(appdata) + "\\Quillbank100201");
  EXPECT_EQ(ctx.StagingDir, std::string(appdata) + "\\Quillbank100201temp");
  EXPECT_EQ(ctx.DependDir, std::string(appdata) + "\\QuillbankDependBase");
}
