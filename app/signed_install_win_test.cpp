// The install step of a program that carries a package key: a staged package installs only when
// its signed manifest matches it, and every refusal leaves the install folder as it was.
#include <windows.h>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "app/install_controller.h"
#include "app/testing/controller_harness.h"
#include "base/file_system.h"
#include "base/package_manifest.h"
#include "core/install_context.h"
#include "install/testing/manifest_signer.h"
#include "test_support/temp_dir.h"

namespace {

const VersionPair kAnnounced = {5, 17};

class SignedInstallTest : public InstallStepTest {
 protected:
  // An old install of 5.16 and a staged 5.17 with its manifest, signed with `key` after `edit`.
  void PrepareSigned(const TestSigningKey& key,
                     const std::function<void(PackageManifest*)>& edit = nullptr) {
    Prepare(/*old_install=*/true, /*stage=*/true);
    InstallContext& ctx = InstallContext::Get();
    ctx.PackageNumber = "100201";
    ctx.LatestVersion = kAnnounced;
    ASSERT_TRUE(WriteFileBytes(ctx.InstallDir + "\\update.ini", "[version]\r\ncur=9.3.5.16\r\n"));
    PackageManifest manifest = ManifestOfFolder(ctx.StagingDir, "100201", kAnnounced, {});
    if (edit) edit(&manifest);
    const std::vector<uint8_t> bytes = SignedManifest(manifest, key);
    ASSERT_FALSE(bytes.empty());
    ASSERT_TRUE(WriteFileBytes(ctx.StagingDir + "\\" + kManifestFileName,
                               std::string(bytes.begin(), bytes.end())));
    old_install_ = Snapshot(ctx.InstallDir);
  }
  // Every file of a folder with its bytes.
  static std::map<std::string, std::string> Snapshot(const std::string& folder) {
    std::vector<FileEntry> files;
    ListFiles(folder, &files);
    std::map<std::string, std::string> snapshot;
    for (const FileEntry& file : files) {
      snapshot[file.relative] = ReadFileBytes(folder + "\\" + file.relative);
    }
    return snapshot;
  }
  // Runs the install step with key A and expects it refused with nothing changed.
  void ExpectRefused(const std::function<void()>& prepare) {
    Run(Servers("127.0.0.1", FreePort()),
        [&](TQuillbankDlg& dlg, ScriptedController& c) {
          prepare();
          const InstallContext& ctx = InstallContext::Get();
          c.OnInstall(dlg);
          EXPECT_EQ(dlg.State(), WindowState::Failed);
          EXPECT_EQ(dlg.StatusText(), L"Package check failed");
          EXPECT_EQ(Snapshot(ctx.InstallDir), old_install_);
          EXPECT_FALSE(PathExists((ctx.InstallDir + ".previous").c_str()));
          EXPECT_FALSE(PathExists(ctx.StagingDir.c_str()));
        },
        TestKeyA().public_key);
  }
  static std::string Staged(const std::string& relative) {
    return InstallContext::Get().StagingDir + "\\" + relative;
  }

  std::map<std::string, std::string> old_install_;
};

TEST_F(SignedInstallTest, PackageThatMatchesItsManifestInstallsWithTheManifest) {
  Run(Servers("127.0.0.1", FreePort()),
      [this](TQuillbankDlg& dlg, ScriptedController& c) {
        PrepareSigned(TestKeyA());
        const InstallContext& ctx = InstallContext::Get();
        c.OnInstall(dlg);
        EXPECT_EQ(dlg.State(), WindowState::Installed);
        EXPECT_EQ(ReadFileBytes(ctx.InstallDir + "\\data\\quotes.dat"), "new data");
        EXPECT_TRUE(PathExists((ctx.InstallDir + "\\package.manifest").c_str()));
        EXPECT_FALSE(PathExists((ctx.InstallDir + "\\old.dat").c_str()));
        EXPECT_NE(ReadFileBytes(ctx.InstallDir + "\\update.ini").find("cur=9.3.5.17"),
                  std::string::npos);
      },
      TestKeyA().public_key);
}

TEST_F(SignedInstallTest, EveryRefusalLeavesTheInstallFolderAsItWas) {
  SCOPED_TRACE("one byte of one file changed");
  ExpectRefused([this] {
    PrepareSigned(TestKeyA());
    ASSERT_TRUE(WriteFileBytes(Staged("data\\quotes.dat"), "new dat@"));
  });
  SCOPED_TRACE("a file missing");
  ExpectRefused([this] {
    PrepareSigned(TestKeyA());
    ASSERT_TRUE(DeletePath(Staged("quillbank ix.exe").c_str()));
  });
  SCOPED_TRACE("an extra file");
  ExpectRefused([this] {
    PrepareSigned(TestKeyA());
    ASSERT_TRUE(WriteFileBytes(Staged("data\\extra.dll"), "not in the manifest"));
  });
  SCOPED_TRACE("signed with another key");
  ExpectRefused([this] { PrepareSigned(TestKeyB()); });
  SCOPED_TRACE("older than the install");
  ExpectRefused([this] {
    PrepareSigned(TestKeyA(), [](PackageManifest* m) { m->version = VersionPair{5, 15}; });
    InstallContext::Get().LatestVersion = VersionPair{5, 15};
  });
  SCOPED_TRACE("the manifest of another package");
  ExpectRefused([this] {
    PrepareSigned(TestKeyA(), [](PackageManifest* m) { m->package_number = "100202"; });
  });
  SCOPED_TRACE("a truncated manifest");
  ExpectRefused([this] {
    PrepareSigned(TestKeyA());
    const std::string manifest = ReadFileBytes(Staged(kManifestFileName));
    ASSERT_TRUE(WriteFileBytes(Staged(kManifestFileName), manifest.substr(0, manifest.size() / 2)));
  });
  SCOPED_TRACE("no manifest at all");
  ExpectRefused([this] {
    PrepareSigned(TestKeyA());
    ASSERT_TRUE(DeletePath(Staged(kManifestFileName).c_str()));
  });
}

}  // namespace
