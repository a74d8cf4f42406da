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
  // Signs the package with a new key the program then carries (the same key when signed
  // again).
  void Sign(const ManifestOptions& options = ManifestOptions()) {
    std::string error;
    if (keys_.key_path.empty()) {
      ASSERT_TRUE(WriteNewKeyPair(dir_.path() + "/keys", &keys_, &error)) << error;
    }
    const KeygenResult& keys = keys_;
    ASSERT_TRUE(SignPackageFolder(package_, keys.key_path, options, &error)) << error;
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
  KeygenResult keys_;
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

// An update whose files changed only in part: each changed file is built from the chunks the
// install holds (in any of its files) and completed by the ranges it lacks; a file whose chunks
// are all in the install needs nothing fetched. What the service sends is near what changed, and
// the install is the new version byte for byte. Signed with --no-ranges, the same update
// fetches the changed files whole.
TEST_F(ControllerServiceTest, AnUpdateFetchesOnlyThePartsOfFilesThatChanged) {
  ManifestOptions small_chunks;
  small_chunks.chunk_sizes = {1024, 4096, 16384};
  Sign(small_chunks);
  Serve();
  ASSERT_TRUE(InstallOnce()) << view_.status;
  const std::vector<TestFile> first = files_;
  for (bool ranges : {true, false}) {
    SCOPED_TRACE(ranges);
    // A day of quotes appended; bytes inserted in the middle of the terminal; a line added to a
    // file of one chunk (all it has of the install is provisional); a file that is another
    // one's copy (all its chunks in the install already).
    files_ = first;
    files_[3].bytes += TestBytes(64, 7);
    files_[4].bytes += "y=2\r\n";
    files_[0].bytes.insert(75000, TestBytes(100, 8));
    files_.push_back({"Data\\History\\", "ticks-copy.bin", first[3].bytes});
    if (!ranges) files_[1].bytes += "x";
    WriteTestPackage(package_, "100201", files_);
    ManifestOptions options = small_chunks;
    options.offers_ranges = ranges;
    Sign(options);
    const MetricsCounts before = service_.service().Counts();
    service_.service().RequestReload();
    ASSERT_TRUE(service_.WaitForLogCount("reload done", ranges ? 1 : 2));
    ASSERT_TRUE(InstallOnce()) << view_.status;
    for (const TestFile& file : files_) {
      EXPECT_TRUE(Installed(file.folder_part + file.file_part) == file.bytes) << file.file_part;
    }
    EXPECT_EQ(view_.files_done, view_.files_total);
    const std::string log = InstallLog();
    const MetricsCounts after = service_.service().Counts();
    const uint64_t range_bytes = after.range_bytes - before.range_bytes;
    if (ranges) {
      EXPECT_NE(log.find("changed file(s) built from the install, 3 to complete by parts"),
                std::string::npos) << log;
      EXPECT_NE(log.find("ProcessDL\xA3\xBA" "DownloadRanges 3 in 1 request(s)"),
                std::string::npos) << log;
      // The chunks around the changes: a few of 4 KiB on average, not the 850 KB of the files.
      EXPECT_GT(range_bytes, 0u);
      EXPECT_LT(range_bytes, 6u * 16384);
    } else {
      EXPECT_EQ(range_bytes, 0u);
      EXPECT_EQ(log.find("DownloadRanges"), std::string::npos) << log;
    }
  }
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
