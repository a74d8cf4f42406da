// The install controller against the reference service, natively: a whole install from the click
// to "Open", and a signed one that checks the manifest first and then takes what the earlier
// install holds unchanged. Only the window, its timers and the system's steps are stand-ins.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/install_controller.h"
#include "app/testing/controller_stand_ins.h"
#include "base/file_system.h"
#include "install/testing/system_stand_in.h"
#include "service/keygen.h"
#include "service/package_signing.h"
#include "service/testing/test_service.h"
#include "test_support/temp_dir.h"

namespace {

class ControllerServiceTest : public ::testing::Test {
 protected:
  ControllerServiceTest() {
    // Windows 10: no base archive.
    SetWindowsMajorVersionForTest(10);
    files_ = {{"", "quillbank ix.exe", TestBytes(150000, 1)},
              {"Data\\Quotes\\", "SH600000.day", TestBytes(2 * 1001, 2)},
              {"Data\\Quotes\\", "empty.day", ""},
              {"Data\\History\\", "ticks.bin", TestBytes(700001, 3)},
              {"Config\\", "terminal.cfg", "[main]\r\nx=1\r\n"}};
    package_ = dir_.path() + "/package";
    WriteTestPackage(package_, "100201", files_);
    config_.context = ContextBelow(dir_.Join("AppData"));
    config_.swap_steps.wait = [](unsigned) {};
  }

  // Serves the package; the controller's update servers are the service's.
  void Serve() {
    ASSERT_TRUE(service_.Start({package_}));
    const ListenAddress update = service_.update();
    std::snprintf(config_.update_servers.HostPattern, sizeof config_.update_servers.HostPattern,
                  "%s", update.host.c_str());
    config_.update_servers.Port = update.port;
  }
  // Signs the package with a new key the program then carries.
  void Sign() {
    KeygenResult keys;
    std::string error;
    ASSERT_TRUE(WriteNewKeyPair(dir_.path() + "/keys", &keys, &error)) << error;
    ASSERT_TRUE(SignPackageFolder(package_, keys.key_path, /*expires=*/0, &error)) << error;
    for (size_t i = 0; i < sizeof key_; ++i) {
      key_[i] = static_cast<uint8_t>(std::stoi(keys.public_text.substr(2 * i, 2), nullptr, 16));
    }
    config_.package_keys = {key_};
  }
  // One run of the program: the click, then the messages until the install ends. True when it
  // ends with "Open".
  bool InstallOnce() {
    view_ = RecordingView();
    run_.Start(config_, &steps_).OnButtonClick();
    const bool ended = pump_.Until([&] {
      return view_.state == WindowState::Installed || view_.state == WindowState::Failed;
    }, 60000);
    const bool installed = ended && view_.state == WindowState::Installed;
    run_.End();
    return installed;
  }
  std::string Installed(const std::string& relative) const {
    return ReadFileBytes(config_.context.InstallDir + "\\" + relative);
  }
  std::string InstallLog() const { return Installed("log\\install.log"); }

  TempDir dir_;
  std::vector<TestFile> files_;
  std::string package_;
  TestService service_;
  ControllerConfig config_;
  uint8_t key_[64] = {};
  StubSteps steps_;
  StandInRun run_;
  RecordingView& view_ = run_.view;
  MessagePump& pump_ = run_.pump;
};

TEST_F(ControllerServiceTest, AWholeInstallEndsWithOpenAndEveryFileInPlace) {
  Serve();
  ASSERT_TRUE(InstallOnce()) << view_.status;
  for (const TestFile& file : files_) {
    EXPECT_TRUE(Installed(file.folder_part + file.file_part) == file.bytes) << file.file_part;
  }
  EXPECT_TRUE(PathExists((config_.context.InstallDir + "\\module.info").c_str()));
  EXPECT_EQ(view_.files_total, static_cast<int32_t>(files_.size()));
  EXPECT_EQ(steps_.terminals_stopped, 1);
  EXPECT_EQ(steps_.registrations, 1);
  EXPECT_FALSE(PathExists(config_.context.StagingDir.c_str()));
}

// Signed: the manifest comes alone and is checked first; over an earlier install of the same
// files, everything but the manifest is taken from the install, nothing else is downloaded.
TEST_F(ControllerServiceTest, ASignedUpdateTakesTheUnchangedFilesFromTheEarlierInstall) {
  Sign();
  Serve();
  ASSERT_TRUE(InstallOnce()) << view_.status;
  EXPECT_NE(InstallLog().find("ProcessDL\xA3\xBA" "DownloadManifest"), std::string::npos);
  ASSERT_TRUE(InstallOnce()) << view_.status;
  const std::string log = InstallLog();
  char reuse[100];
  std::snprintf(reuse, sizeof reuse, "ProcessDL\xA3\xBAReuse %zu of %zu modules", files_.size(),
                files_.size());
  EXPECT_NE(log.find(reuse), std::string::npos) << log;
  EXPECT_NE(log.find("Package Check Success"), std::string::npos) << log;
  for (const TestFile& file : files_) {
    EXPECT_TRUE(Installed(file.folder_part + file.file_part) == file.bytes) << file.file_part;
  }
  // Every module counted once, the reused ones at once.
  EXPECT_EQ(view_.files_done, view_.files_total);
}

// Unattended (/silent, /verysilent): no click, the whole install, the window asked to close at
// the end and no terminal started.
TEST_F(ControllerServiceTest, AnUnattendedInstallNeedsNoClickAndClosesItself) {
  Serve();
  config_.unattended = true;
  view_ = RecordingView();
  InstallController& c = run_.Start(config_, &steps_);
  ASSERT_TRUE(run_.timers.Running(InstallController::kStartTimerId));
  c.OnTimer(InstallController::kStartTimerId);
  ASSERT_TRUE(pump_.Until([&] { return view_.closes_asked > 0; }, 60000)) << view_.status;
  EXPECT_EQ(view_.state, WindowState::Installed) << view_.status;
  EXPECT_EQ(c.exit_code(), kExitSuccess);
  EXPECT_EQ(view_.closes_asked, 1);
  run_.End();
  for (const TestFile& file : files_) {
    EXPECT_TRUE(Installed(file.folder_part + file.file_part) == file.bytes) << file.file_part;
  }
  EXPECT_EQ(steps_.registrations, 1);
  EXPECT_EQ(steps_.terminals_started, 0);
}

}  // namespace
