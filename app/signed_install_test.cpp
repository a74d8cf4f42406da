// The install step of a program that carries a package key: a staged package installs only when
// its signed manifest matches it, and every refusal leaves the install folder as it was.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/install_controller.h"
#include "app/testing/controller_stand_ins.h"
#include "base/file_system.h"
#include "base/make_path_dirs.h"
#include "base/package_manifest.h"
#include "core/install_log.h"
#include "install/system.h"
#include "net/socket_ops.h"
#include "install/testing/manifest_signer.h"
#include "test_support/temp_dir.h"

namespace {

const VersionPair kAnnounced = {5, 17};

class SignedInstallTest : public ::testing::Test {
 protected:
  // A program with key A, an old install of 5.16 and a staged package of `announced` with its
  // manifest, signed with `key` after `edit`.
  void PrepareSigned(const TestSigningKey& key,
                     const std::function<void(PackageManifest*)>& edit = nullptr,
                     VersionPair announced = kAnnounced) {
    dir_ = std::make_unique<TempDir>();
    config_.context = ContextBelow(dir_->path());
    config_.package_keys = {TestKeyA().public_key};
    config_.swap_steps.wait = [](unsigned) {};
    const InstallContext& ctx = config_.context;
    ASSERT_TRUE(MakePathDirs((ctx.InstallDir + "\\old.dat").c_str()));
    ASSERT_TRUE(WriteFileBytes(ctx.InstallDir + "\\old.dat", "old install"));
    ASSERT_TRUE(WriteFileBytes(ctx.InstallDir + "\\update.ini", "[version]\r\ncur=9.3.5.16\r\n"));
    controller_ = &run_.Start(config_, &steps_);
    // What the update check announced; the download connection is never made.
    UpdateOffer offer;
    offer.LatestVersion = announced;
    controller_->StartDownload(offer);
    ASSERT_TRUE(MakePathDirs((ctx.StagingDir + "\\data\\x").c_str()));
    ASSERT_TRUE(WriteFileBytes(ctx.StagingDir + "\\quillbank ix.exe", "new terminal"));
    ASSERT_TRUE(WriteFileBytes(ctx.StagingDir + "\\data\\quotes.dat", "new data"));
    // The install log is the installer's own file, never part of a package.
    PackageManifest manifest =
        ManifestOfFolder(ctx.StagingDir, "100201", announced, {kInstallLogRelativePath});
    if (edit) edit(&manifest);
    const std::vector<uint8_t> bytes = SignedManifest(manifest, key);
    ASSERT_FALSE(bytes.empty());
    ASSERT_TRUE(WriteFileBytes(ctx.StagingDir + "\\" + kManifestFileName,
                               std::string(bytes.begin(), bytes.end())));
    old_install_ = Snapshot(ctx.InstallDir);
  }
  void TearDown() override { Destroy(); }
  void Destroy() { run_.End(); }
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
  // Runs the install step and expects it refused with nothing changed, and the program to exit
  // with `code`.
  void ExpectRefused(const std::function<void()>& prepare,
                     ExitCode code = kExitPackageCheckFailed) {
    prepare();
    const InstallContext& ctx = config_.context;
    controller_->OnInstall();
    EXPECT_EQ(view_.state, WindowState::Failed);
    EXPECT_EQ(view_.status, "Package check failed");
    EXPECT_EQ(controller_->exit_code(), code);
    EXPECT_EQ(Snapshot(ctx.InstallDir), old_install_);
    EXPECT_FALSE(PathExists((ctx.InstallDir + ".previous").c_str()));
    EXPECT_FALSE(PathExists(ctx.StagingDir.c_str()));
    Destroy();
  }
  std::string Staged(const std::string& relative) const {
    return config_.context.StagingDir + "\\" + relative;
  }

  SocketsLibrary sockets_;
  std::unique_ptr<TempDir> dir_;
  ControllerConfig config_;
  StubSteps steps_;
  StandInRun run_;
  RecordingView& view_ = run_.view;
  InstallController* controller_ = nullptr;
  std::map<std::string, std::string> old_install_;
};

TEST_F(SignedInstallTest, PackageThatMatchesItsManifestInstallsWithTheManifest) {
  PrepareSigned(TestKeyA());
  const InstallContext& ctx = config_.context;
  controller_->OnInstall();
  EXPECT_EQ(view_.state, WindowState::Installed) << ReadFileBytes(ctx.InstallDir + ".failed.log");
  EXPECT_EQ(controller_->exit_code(), kExitSuccess);
  EXPECT_EQ(ReadFileBytes(ctx.InstallDir + "\\data\\quotes.dat"), "new data");
  EXPECT_TRUE(PathExists((ctx.InstallDir + "\\package.manifest").c_str()));
  EXPECT_FALSE(PathExists((ctx.InstallDir + "\\old.dat").c_str()));
  EXPECT_NE(ReadFileBytes(ctx.InstallDir + "\\update.ini").find("cur=9.3.5.17"),
            std::string::npos);
  EXPECT_EQ(steps_.registered_version.Part4, 17);
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
    PrepareSigned(
        TestKeyA(), [](PackageManifest* m) { m->version = VersionPair{5, 15}; },
        VersionPair{5, 15});
  }, kExitDowngrade);
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
