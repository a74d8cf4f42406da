// Folder derivation from the application-data folder the native stand-in gives, and when it
// gives none (a real shell always has one).
#include <gtest/gtest.h>

#include "base/special_folder.h"
#include "base/testing/special_folder_stand_in.h"
#include "core/install_context.h"

namespace {

class SetUpPathsTest : public testing::Test {
 protected:
  SetUpPathsTest() {
    InstallContext& ctx = InstallContext::Get();
    ctx.InstallDir.clear();
    ctx.StagingDir.clear();
    ctx.DependDir.clear();
  }
  ~SetUpPathsTest() override { SetStandInSpecialFolder(kCsidlAppData, nullptr); }
};

TEST_F(SetUpPathsTest, DerivesTheThreeFoldersFromTheApplicationDataFolder) {
  SetStandInSpecialFolder(kCsidlAppData, "C:\\Users\\user\\AppData\\Roaming");
  SetUpPaths();
  const InstallContext& ctx = InstallContext::Get();
  EXPECT_EQ(ctx.InstallDir, "C:\\Users\\user\\AppData\\Roaming\\Quillbank100201");
  EXPECT_EQ(ctx.StagingDir, "C:\\Users\\user\\AppData\\Roaming\\Quillbank100201temp");
  EXPECT_EQ(ctx.DependDir, "C:\\Users\\user\\AppData\\Roaming\\QuillbankDependBase");
}

TEST_F(SetUpPathsTest, UnavailableApplicationDataFolderLeavesTheFolderPartEmpty) {
  SetStandInSpecialFolder(kCsidlAppData, nullptr);
  SetUpPaths();
  const InstallContext& ctx = InstallContext::Get();
  EXPECT_EQ(ctx.InstallDir, "\\Quillbank100201");
  EXPECT_EQ(ctx.StagingDir, "\\Quillbank100201temp");
  EXPECT_EQ(ctx.DependDir, "\\QuillbankDependBase");
}

}  // namespace
