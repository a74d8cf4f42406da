// The install controller without a window: connecting, the clients' messages, reconnection and
// the watchdog on timers fired by hand, failures, the install step with its copy, and closing.
#include "app/install_controller.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "app/testing/controller_stand_ins.h"
#include "base/file_system.h"
#include "base/make_path_dirs.h"
#include "core/install_log.h"
#include "install/system.h"
#include "net/socket_ops.h"
#include "net/testing/loopback_peer.h"
#include "test_support/temp_dir.h"
#include "wire/message.h"

namespace {

UpdateOffer OfferAt(uint16_t port, int32_t port_high_bits = 0) {
  UpdateOffer offer;
  offer.DownloadHost = "127.0.0.1";
  offer.DownloadPort = port | port_high_bits;
  return offer;
}

class ControllerTest : public ::testing::Test {
 protected:
  ControllerTest() {
    config_.context = ContextBelow(dir_.path());
    config_.update_servers = UpdateServersAt("127.0.0.1", FreeLoopbackPort());
    // The replace waits without a window to paint.
    config_.swap_steps.wait = [](unsigned) {};
  }
  InstallController& Make() { return run_.Start(config_, &steps_); }
  // As the window goes: closed, destroyed, and nothing reaches the controller any more.
  void Destroy() { run_.End(); }
  const InstallContext& ctx() const { return config_.context; }
  // A timer of the window fires.
  void Fire(uint32_t id) {
    ASSERT_TRUE(timers_.Running(id)) << id;
    run_.controller()->OnTimer(id);
  }
  // An old install, and a staging folder with the files of the new one (unless `stage` is
  // false).
  void Prepare(bool old_install, bool stage) {
    if (old_install) {
      ASSERT_TRUE(MakePathDirs((ctx().InstallDir + "\\old.dat").c_str()));
      ASSERT_TRUE(WriteFileBytes(ctx().InstallDir + "\\old.dat", "old install"));
    }
    if (stage) {
      ASSERT_TRUE(MakePathDirs((ctx().StagingDir + "\\data\\x").c_str()));
      ASSERT_TRUE(WriteFileBytes(ctx().StagingDir + "\\quillbank ix.exe", "new terminal"));
      ASSERT_TRUE(WriteFileBytes(ctx().StagingDir + "\\data\\quotes.dat", "new data"));
    } else {
      DeletePath(ctx().StagingDir.c_str());
    }
  }
  std::string Read(const std::string& path) const { return ReadFileBytes(path); }
  bool Exists(const std::string& path) const { return PathExists(path.c_str()); }

  // Start-up has the sockets library started before the window exists; so do the tests.
  SocketsLibrary sockets_;
  TempDir dir_;
  ControllerConfig config_;
  StubSteps steps_;
  StandInRun run_;
  RecordingView& view_ = run_.view;
  ManualTimers& timers_ = run_.timers;
  MessagePump& pump_ = run_.pump;
};

TEST_F(ControllerTest, CreationClearsTheStagingFolderAndOpensTheLog) {
  ASSERT_TRUE(MakePathDirs((ctx().StagingDir + "\\left\\over.dat").c_str()));
  ASSERT_TRUE(WriteFileBytes(ctx().StagingDir + "\\left\\over.dat", "an earlier attempt"));
  InstallController& c = Make();
  EXPECT_TRUE(IsInstallLogOpen());
  EXPECT_TRUE(Exists(ctx().StagingDir + "\\log\\install.log"));
  EXPECT_FALSE(Exists(ctx().StagingDir + "\\left"));
  EXPECT_NE(c.check_client(), nullptr);
  EXPECT_EQ(c.download_client(), nullptr);  // made with the offer
  Destroy();
  EXPECT_FALSE(IsInstallLogOpen());
}

TEST_F(ControllerTest, ThreeUnresolvableHostsFailWithoutCountingDisconnects) {
  config_.update_servers = UpdateServersAt("qb-no-such-host-%d.invalid", 31711);
  InstallController& c = Make();
  c.OnButtonClick();
  ASSERT_TRUE(pump_.Until([&] { return view_.state == WindowState::Failed; }));
  EXPECT_EQ(view_.status, "Install Fail");
  EXPECT_EQ(pump_.Count(UM_LOGIN_FAIL), 1);
  EXPECT_EQ(pump_.Count(UM_CHECK_DISCONNECT), 0);
  EXPECT_EQ(c.exit_code(), kExitNoServer);
}

TEST_F(ControllerTest, ThreeRefusedConnectsCountThreeDisconnectsAndTheThirdFails) {
  config_.update_servers = UpdateServersAt("127.0.0.%d", FreeLoopbackPort());
  InstallController& c = Make();
  c.OnButtonClick();
  ASSERT_TRUE(pump_.Until([&] { return pump_.Count(UM_CHECK_DISCONNECT) == 3; }));
  ASSERT_TRUE(pump_.Until([&] { return pump_.Count(UM_LOGIN_FAIL) == 1; }));
  EXPECT_EQ(view_.state, WindowState::Failed);
  EXPECT_EQ(c.check_disconnects(), 3);
  EXPECT_EQ(c.exit_code(), kExitNoServer);
  EXPECT_FALSE(IsInstallLogOpen());
  EXPECT_FALSE(Exists(ctx().StagingDir));
}

TEST_F(ControllerTest, RefusedUpdateShowsTheCodeAsSignedDecimal) {
  LoopbackPeer peer;
  ASSERT_TRUE(peer.listening());
  std::thread server([&] {
    // Authentication link, login, then an update check answered without the proceed flag.
    const CipherContext fixed = KeyedContext("k7#m.q9;z!w4,p&x");
    const CipherContext send = KeyedContext("client-sends");
    const CipherContext receive = KeyedContext("client-receives");
    char type = 0;
    std::string message;
    if (!peer.Accept() || !peer.ReadMessage(fixed, send, &type, &message)) return;
    peer.SendMessage(MakeAuthentLinkResponse(0, "client-sends", 30, "client-receives"), '4', &fixed);
    if (!peer.ReadMessage(fixed, send, &type, &message)) return;
    peer.SendMessage(MakeMessage(kMsgLoginResponse, 0, std::string(51, '\0'), 1, 51), '6', &receive);
    if (!peer.ReadMessage(fixed, send, &type, &message)) return;
    std::string record(75, '\0');
    peer.SendMessage(MakeMessage(kMsgPkgUpdateCheckRsp, -1, record, 1, 75), '6', &receive);
    peer.WaitClosedByClient(10000);
  });
  config_.update_servers = UpdateServersAt("127.0.0.1", peer.port());
  InstallController& c = Make();
  c.OnButtonClick();
  ASSERT_TRUE(pump_.Until([&] { return pump_.Count(UM_UPDATE_REFUSED) == 1; }));
  EXPECT_EQ(view_.state, WindowState::Failed);
  EXPECT_EQ(view_.status, "Install Fail,Error Code:-1");
  Destroy();
  server.join();
}

// Every reconnection fails the same way: a port beyond 16 bits keeps none; after the third the
// install fails, the pauses doubling.
TEST_F(ControllerTest, DownloadPortWithoutLow16BitsEndsInDownloadDisconnect) {
  InstallController& c = Make();
  view_.SetState(WindowState::Installing);
  c.StartDownload(OfferAt(0, 0x10000));
  // Sent synchronously: handled before StartDownload returns, as a lost connection.
  EXPECT_EQ(pump_.Count(UM_DL_DISCONNECT), 1);
  EXPECT_EQ(c.phase(), InstallPhase::Reconnecting);
  EXPECT_EQ(steps_.terminals_stopped, 1);
  for (uint32_t pause : {2000u, 4000u}) {
    EXPECT_EQ(timers_.running[InstallController::kReconnectTimerId], pause / 2);
    Fire(InstallController::kReconnectTimerId);
    EXPECT_EQ(c.phase(), InstallPhase::Reconnecting);
    EXPECT_EQ(timers_.running[InstallController::kReconnectTimerId], pause);
  }
  Fire(InstallController::kReconnectTimerId);
  EXPECT_EQ(pump_.Count(UM_DL_DISCONNECT), 4);
  EXPECT_EQ(c.reconnects(), InstallController::kMaxReconnects);
  EXPECT_EQ(view_.state, WindowState::Failed);
  EXPECT_EQ(view_.status, "Install Fail,Server Link Fail");
  EXPECT_FALSE(timers_.Running(InstallController::kReconnectTimerId));
  EXPECT_FALSE(Exists(ctx().StagingDir));
}

// No timer for the pause before a reconnection: the install fails at once rather than waiting
// for a reconnection that never comes.
TEST_F(ControllerTest, AReconnectionThatCannotBeScheduledFailsTheInstall) {
  InstallController& c = Make();
  timers_.refuse_start = true;
  c.StartDownload(OfferAt(0, 0x10000));
  EXPECT_EQ(c.phase(), InstallPhase::Failed);
  EXPECT_EQ(view_.status, "Install Fail,Server Link Fail");
  EXPECT_FALSE(view_.reconnecting);
  EXPECT_FALSE(Exists(ctx().StagingDir));
}

// A lost download connection: "Reconnecting" in place of the percentage, files finished before
// the loss still count, what the lost connection posted about its own stage is ignored, and the
// first chunk on a new connection brings the percentage back.
TEST_F(ControllerTest, LostDownloadShowsReconnectingUntilDataFlowsAgain) {
  LoopbackPeer peer;  // takes connections into its backlog and says nothing
  ASSERT_TRUE(peer.listening());
  InstallController& c = Make();
  c.StartDownload(OfferAt(peer.port()));
  ASSERT_EQ(c.phase(), InstallPhase::Downloading);
  view_.SetState(WindowState::Installing);
  view_.SetFilesTotal(4);
  view_.SetFilesDone(2);
  pump_.Send(UM_DL_DISCONNECT, 0);
  EXPECT_EQ(c.phase(), InstallPhase::Reconnecting);
  EXPECT_TRUE(view_.reconnecting);
  EXPECT_EQ(c.reconnects(), 1);
  for (unsigned m : {UM_FILE_DONE, UM_BASE_DONE, UM_DL_RECEIVING, UM_DL_DISCONNECT}) {
    pump_.Post(m, 0);
  }
  ASSERT_TRUE(pump_.Until([&] { return pump_.Count(UM_DL_DISCONNECT) == 2; }));
  EXPECT_EQ(view_.files_done, 3);
  EXPECT_TRUE(view_.reconnecting);
  EXPECT_EQ(c.reconnects(), 1);
  EXPECT_EQ(view_.state, WindowState::Installing);

  // The pause is over: connected again, and the first chunk arrives.
  Fire(InstallController::kReconnectTimerId);
  EXPECT_EQ(c.phase(), InstallPhase::Downloading);
  pump_.Send(UM_DL_RECEIVING, 0);
  EXPECT_FALSE(view_.reconnecting);
  EXPECT_EQ(view_.files_done, 3);
}

TEST_F(ControllerTest, RenamedIntoPlaceAndTheOldInstallDeletedAfterOpenIsShown) {
  Prepare(/*old_install=*/true, /*stage=*/true);
  ASSERT_TRUE(WriteFileBytes(ctx().InstallDir + ".failed.log", "an earlier failure"));
  InstallController& c = Make();
  Prepare(/*old_install=*/false, /*stage=*/true);  // creation cleared the staging folder
  c.OnInstall();
  EXPECT_EQ(view_.state, WindowState::Installed);
  EXPECT_EQ(Read(ctx().InstallDir + "\\data\\quotes.dat"), "new data");
  EXPECT_EQ(Read(ctx().InstallDir + "\\quillbank ix.exe"), "new terminal");
  EXPECT_TRUE(Exists(ctx().InstallDir + "\\module.info"));
  EXPECT_FALSE(Exists(ctx().InstallDir + "\\old.dat"));
  EXPECT_FALSE(Exists(ctx().StagingDir));
  // A successful install leaves no failed attempt's log behind.
  EXPECT_FALSE(Exists(ctx().InstallDir + ".failed.log"));
  EXPECT_EQ(steps_.shortcuts, 1);
  EXPECT_EQ(steps_.registrations, 1);
  EXPECT_EQ(c.exit_code(), kExitSuccess);
  EXPECT_EQ(c.LogPath(), ctx().InstallDir + "\\log\\install.log");
  EXPECT_TRUE(Exists(c.LogPath()));
  EXPECT_EQ(view_.closes_asked, 0);  // somebody is at the screen: the window waits for "Open"
  c.OnOpen();
  EXPECT_EQ(steps_.terminals_started, 1);
  // The old install goes off the controller's thread.
  EXPECT_TRUE(pump_.Until([&] { return !Exists(ctx().InstallDir + ".previous"); }));
}

TEST_F(ControllerTest, FailedCopyPutsTheOldInstallBackAndFails) {
  Prepare(/*old_install=*/true, /*stage=*/false);  // nothing to copy: the copy fails
  InstallController& c = Make();
  CloseInstallLog();  // Windows keeps an open file, and its folder, from being deleted
  DeletePath(ctx().StagingDir.c_str());
  c.OnInstall();
  EXPECT_EQ(view_.state, WindowState::Failed);
  EXPECT_EQ(view_.status, "Install Fail");
  EXPECT_EQ(Read(ctx().InstallDir + "\\old.dat"), "old install");
  EXPECT_FALSE(Exists(ctx().InstallDir + ".previous"));
  EXPECT_EQ(steps_.registrations, 0);
}

TEST_F(ControllerTest, OldInstallThatCannotBeMovedAsideIsLeftUntouched) {
  const std::string install = ctx().InstallDir;
  // The folder held open without sharing, as a program working in it would.
  config_.swap_steps.rename = [install](const char* from, const char* to) {
    return from != install && RenamePath(from, to);
  };
  config_.swap_steps.hold_retry_ms = 0;
  Prepare(/*old_install=*/true, /*stage=*/false);
  InstallController& c = Make();
  Prepare(/*old_install=*/false, /*stage=*/true);
  c.OnInstall();
  EXPECT_EQ(view_.state, WindowState::Failed);
  EXPECT_EQ(Read(ctx().InstallDir + "\\old.dat"), "old install");
  EXPECT_FALSE(Exists(ctx().InstallDir + "\\quillbank ix.exe"));
  EXPECT_FALSE(Exists(ctx().StagingDir));
}

// A staging folder that cannot be renamed is copied instead; a copy that misses a file fails and
// puts the old install back.
TEST_F(ControllerTest, StagingThatCannotMoveIsCopiedAndAShortCopyPutsTheOldInstallBack) {
  for (bool short_copy : {true, false}) {
    SCOPED_TRACE(short_copy ? "the copy misses a file" : "the copy is whole");
    TempDir dir;
    config_.context = ContextBelow(dir.path());
    const std::string staging = ctx().StagingDir;
    const std::string install = ctx().InstallDir;
    config_.swap_steps.rename = [staging](const char* from, const char* to) {
      return from != staging && RenamePath(from, to);
    };
    config_.swap_steps.run = [short_copy, install](const char* command, unsigned long* code) {
      const bool ran = RunAndWait(command, code);
      if (short_copy) DeletePath((install + "\\data\\quotes.dat").c_str());
      return ran;
    };
    Prepare(/*old_install=*/true, /*stage=*/false);
    InstallController& c = Make();
    Prepare(/*old_install=*/false, /*stage=*/true);
    c.OnInstall();
    if (short_copy) {
      EXPECT_EQ(view_.state, WindowState::Failed);
      EXPECT_EQ(Read(install + "\\old.dat"), "old install");
      EXPECT_FALSE(Exists(install + "\\quillbank ix.exe"));
      EXPECT_FALSE(Exists(install + ".previous"));
      const std::string log = Read(install + ".failed.log");
      EXPECT_NE(log.find("incomplete at: data\\quotes.dat"), std::string::npos) << log;
    } else {
      EXPECT_EQ(view_.state, WindowState::Installed);
      EXPECT_EQ(Read(install + "\\data\\quotes.dat"), "new data");
      EXPECT_TRUE(Exists(install + "\\module.info"));
      EXPECT_TRUE(pump_.Until([&] { return !Exists(staging) && !Exists(install + ".previous"); }));
    }
    Destroy();
  }
}

// A file of the old install that a program holds keeps the old install where it is: retried,
// then Failed, and the kept log names the file.
TEST_F(ControllerTest, HeldFileOfTheOldInstallFailsAfterTheRetriesAndIsNamed) {
  const std::string install = ctx().InstallDir;
  const std::string held = install + "\\old.dat";
  int waits = 0;
  config_.swap_steps.rename = [install](const char* from, const char* to) {
    return from != install && RenamePath(from, to);
  };
  config_.swap_steps.held_file = [held](const std::string&) { return held; };
  config_.swap_steps.wait = [&waits](unsigned) { ++waits; };
  Prepare(/*old_install=*/true, /*stage=*/false);
  InstallController& c = Make();
  Prepare(/*old_install=*/false, /*stage=*/true);
  c.OnInstall();
  EXPECT_EQ(view_.state, WindowState::Failed);
  EXPECT_GT(waits, 0);
  EXPECT_EQ(Read(held), "old install");
  EXPECT_FALSE(Exists(install + "\\quillbank ix.exe"));
  EXPECT_FALSE(Exists(install + ".previous"));
  EXPECT_FALSE(Exists(ctx().StagingDir));
  const std::string log = Read(install + ".failed.log");
  EXPECT_NE(log.find("held: " + held), std::string::npos) << log;
  EXPECT_EQ(c.exit_code(), kExitFileHeld);
  EXPECT_EQ(c.LogPath(), install + ".failed.log");
}

// A ".previous" that the start-up could not settle is in the way: nothing is replaced.
TEST_F(ControllerTest, PreviousInTheWayStopsTheReplaceWithEverythingAsItWas) {
  Prepare(/*old_install=*/true, /*stage=*/false);
  InstallController& c = Make();
  Prepare(/*old_install=*/false, /*stage=*/true);
  const std::string aside = ctx().InstallDir + ".previous";
  ASSERT_TRUE(MakePathDirs((aside + "\\good.dat").c_str()));
  ASSERT_TRUE(WriteFileBytes(aside + "\\good.dat", "last good install"));
  c.OnInstall();
  EXPECT_EQ(view_.state, WindowState::Failed);
  EXPECT_EQ(Read(ctx().InstallDir + "\\old.dat"), "old install");
  EXPECT_EQ(Read(aside + "\\good.dat"), "last good install");
  EXPECT_EQ(c.exit_code(), kExitFailed);
  EXPECT_NE(Read(ctx().InstallDir + ".failed.log").find("is in the way"), std::string::npos);
}

// Once installed, the drop of a download connection still open changes nothing, and neither
// does closing the window.
TEST_F(ControllerTest, ClosingAfterInstalledWithTheDownloadConnectionOpenChangesNothing) {
  LoopbackPeer peer;
  ASSERT_TRUE(peer.listening());
  std::thread server([&] {
    if (peer.Accept()) peer.WaitClosedByClient(10000);
  });
  InstallController& c = Make();
  c.StartDownload(OfferAt(peer.port()));
  Prepare(/*old_install=*/false, /*stage=*/true);
  c.OnInstall();
  ASSERT_EQ(view_.state, WindowState::Installed);
  ASSERT_TRUE(pump_.Until([&] { return pump_.Count(UM_DL_DISCONNECT) == 1; }));
  c.OnClose();
  EXPECT_EQ(view_.state, WindowState::Installed);
  EXPECT_TRUE(view_.status.empty());
  Destroy();
  server.join();
}

// The end states are final: once Failed, no client message brings back Installing or runs the
// install steps; once Installed, no drop turns it into a failure.
TEST_F(ControllerTest, FailedAndInstalledAreFinal) {
  LoopbackPeer peer;
  ASSERT_TRUE(peer.listening());
  {
    Prepare(/*old_install=*/true, /*stage=*/false);
    InstallController& c = Make();
    Prepare(/*old_install=*/false, /*stage=*/true);
    c.StartDownload(OfferAt(peer.port()));
    view_.SetState(WindowState::Installing);
    for (unsigned m : {UM_WRITE_FAIL, UM_FILE_DONE, UM_DOWNLOAD_DONE}) pump_.Post(m, 0);
    ASSERT_TRUE(pump_.Until([&] { return pump_.Count(UM_DOWNLOAD_DONE) == 1; }));
    EXPECT_EQ(c.phase(), InstallPhase::Failed);
    EXPECT_EQ(view_.state, WindowState::Failed);
    EXPECT_EQ(view_.status, "Install Fail");
    EXPECT_EQ(c.exit_code(), kExitFailed);
    EXPECT_EQ(Read(ctx().InstallDir + "\\old.dat"), "old install");
    EXPECT_FALSE(Exists(ctx().InstallDir + "\\quillbank ix.exe"));
    Destroy();
  }
  {
    view_ = RecordingView();
    InstallController& c = Make();
    Prepare(/*old_install=*/false, /*stage=*/true);
    c.StartDownload(OfferAt(peer.port()));
    pump_.Post(UM_DOWNLOAD_DONE, 0);
    for (unsigned m : {UM_DL_DISCONNECT, UM_CHECK_DISCONNECT, UM_CHECK_DISCONNECT,
                       UM_CHECK_DISCONNECT, UM_LOGIN_FAIL, UM_WRITE_FAIL}) {
      pump_.Post(m, 0);
    }
    ASSERT_TRUE(pump_.Until([&] { return pump_.Count(UM_WRITE_FAIL) == 2; }));
    EXPECT_EQ(c.phase(), InstallPhase::Installed);
    EXPECT_EQ(view_.state, WindowState::Installed);
    EXPECT_TRUE(view_.status.empty());
    EXPECT_EQ(c.exit_code(), kExitSuccess);
  }
}

// A package the installer refuses (a module list over its bound) says so, not that the link
// failed.
TEST_F(ControllerTest, RefusedPackageShowsPackageCheckFailed) {
  LoopbackPeer peer;  // the check connection stands; nothing is answered
  ASSERT_TRUE(peer.listening());
  config_.update_servers = UpdateServersAt("127.0.0.1", peer.port());
  InstallController& c = Make();
  c.OnButtonClick();
  ASSERT_EQ(c.phase(), InstallPhase::Checking);
  pump_.Post(UM_PACKAGE_REFUSED, 0);
  pump_.Post(UM_CHECK_DISCONNECT, 0);  // the refusal closes the connection
  ASSERT_TRUE(pump_.Until([&] { return pump_.Count(UM_CHECK_DISCONNECT) >= 1; }));
  EXPECT_EQ(c.phase(), InstallPhase::Failed);
  EXPECT_EQ(view_.status, "Package check failed");
  EXPECT_EQ(c.exit_code(), kExitPackageCheckFailed);
}

// The close box while checking, downloading or waiting to reconnect: offered, and the install
// ends as with a lost connection (staging gone, the old install untouched, the log kept).
TEST_F(ControllerTest, CloseWhileDownloadingEndsTheInstallCleanly) {
  LoopbackPeer peer;
  ASSERT_TRUE(peer.listening());
  for (InstallPhase phase : {InstallPhase::Checking, InstallPhase::Downloading,
                             InstallPhase::Reconnecting}) {
    SCOPED_TRACE(PhaseName(phase));
    TempDir dir;
    config_.context = ContextBelow(dir.path());
    config_.update_servers = UpdateServersAt("127.0.0.1", peer.port());
    Prepare(/*old_install=*/true, /*stage=*/false);
    InstallController& c = Make();
    if (phase == InstallPhase::Checking) {
      c.OnButtonClick();
    } else {
      c.StartDownload(OfferAt(phase == InstallPhase::Downloading ? peer.port() : FreeLoopbackPort()));
    }
    // A refused connect may be reported from the connection's own thread.
    ASSERT_TRUE(pump_.Until([&] { return c.phase() == phase; }));
    EXPECT_TRUE(c.CloseBoxWhileInstalling());
    c.OnClose();
    EXPECT_EQ(c.phase(), InstallPhase::Failed);
    EXPECT_EQ(c.exit_code(), kExitCancelled);
    EXPECT_FALSE(Exists(ctx().StagingDir));
    EXPECT_EQ(Read(ctx().InstallDir + "\\old.dat"), "old install");
    EXPECT_EQ(timers_.paused_ms, config_.close_wait_ms);
    const std::string log = Read(ctx().InstallDir + ".failed.log");
    EXPECT_NE(log.find(std::string("closed in ") + PhaseName(phase)), std::string::npos) << log;
    Destroy();
    timers_.paused_ms = 0;
  }
}

// A service that accepts and then sends nothing: the watchdog ends Installing once the time-out
// has passed without a byte, not before.
TEST_F(ControllerTest, SilentServiceFailsWithTheConnectionText) {
  LoopbackPeer peer;
  ASSERT_TRUE(peer.listening());
  config_.update_servers = UpdateServersAt("127.0.0.1", peer.port());
  config_.stall_timeout_ms = 300;
  InstallController& c = Make();
  c.OnButtonClick();
  ASSERT_EQ(c.phase(), InstallPhase::Checking);
  EXPECT_EQ(timers_.running[InstallController::kStallTimerId], 75u);
  timers_.now_ms += 299;
  Fire(InstallController::kStallTimerId);
  EXPECT_EQ(c.phase(), InstallPhase::Checking);
  timers_.now_ms += 1;
  Fire(InstallController::kStallTimerId);
  EXPECT_EQ(view_.state, WindowState::Failed);
  EXPECT_EQ(view_.status, "Install Fail,Server Link Fail");
  EXPECT_EQ(c.exit_code(), kExitNoServer);
  EXPECT_FALSE(timers_.Running(InstallController::kStallTimerId));
  EXPECT_NE(Read(ctx().InstallDir + ".failed.log").find("no byte for 300 ms in Checking"),
            std::string::npos);
}

// The established check connection dropped before the module list is complete: nothing more can
// come, so the install fails at once rather than waiting for two more drops.
TEST_F(ControllerTest, CheckLinkLostBeforeTheListFailsAtOnce) {
  LoopbackPeer peer;
  ASSERT_TRUE(peer.listening());
  std::thread server([&] {
    std::string frame;
    if (peer.Accept() && peer.ReadFrame(&frame)) peer.Drop();
  });
  config_.update_servers = UpdateServersAt("127.0.0.1", peer.port());
  InstallController& c = Make();
  c.OnButtonClick();
  ASSERT_TRUE(pump_.Until([&] { return pump_.Count(UM_CHECK_DISCONNECT) == 1; }));
  EXPECT_EQ(view_.state, WindowState::Failed);
  EXPECT_EQ(view_.status, "Install Fail,Server Link Fail");
  EXPECT_FALSE(Exists(ctx().StagingDir));
  Destroy();
  server.join();
}

// A download the disk does not take says so in the exit code; any other write failure does not.
TEST_F(ControllerTest, AFullDiskHasItsOwnExitCode) {
  LoopbackPeer peer;
  ASSERT_TRUE(peer.listening());
  for (const intptr_t how : {kWriteFailDiskFull, intptr_t{0}}) {
    TempDir dir;
    config_.context = ContextBelow(dir.path());
    InstallController& c = Make();
    c.StartDownload(OfferAt(peer.port()));
    pump_.Send(UM_WRITE_FAIL, how);
    EXPECT_EQ(c.phase(), InstallPhase::Failed);
    EXPECT_EQ(c.exit_code(), how == kWriteFailDiskFull ? kExitDiskFull : kExitFailed);
    Destroy();
  }
}

// Nobody at the screen: the install starts on the timer set at creation (at once when none can
// be set), and the window is asked to close once the phase is final, whichever it is. A window
// closed before anything started is a cancelled install.
TEST_F(ControllerTest, UnattendedStartsByItselfAndClosesAtTheEnd) {
  {
    InstallController& c = Make();
    EXPECT_FALSE(timers_.Running(InstallController::kStartTimerId));
    c.OnClose();
    EXPECT_EQ(c.exit_code(), kExitCancelled);
    Destroy();
  }
  config_.unattended = true;
  config_.update_servers = UpdateServersAt("qb-no-such-host-%d.invalid", 31711);
  {
    InstallController& c = Make();
    EXPECT_EQ(c.phase(), InstallPhase::Ready);
    Fire(InstallController::kStartTimerId);
    EXPECT_FALSE(timers_.Running(InstallController::kStartTimerId));
    ASSERT_TRUE(pump_.Until([&] { return view_.state == WindowState::Failed; }));
    EXPECT_EQ(view_.closes_asked, 1);
    EXPECT_EQ(c.exit_code(), kExitNoServer);
    EXPECT_EQ(c.LogPath(), ctx().InstallDir + ".failed.log");
    EXPECT_TRUE(Exists(c.LogPath()));
    Destroy();
  }
  {
    view_ = RecordingView();
    timers_.refuse_start = true;
    InstallController& c = Make();
    EXPECT_NE(c.phase(), InstallPhase::Ready);
    ASSERT_TRUE(pump_.Until([&] { return view_.state == WindowState::Failed; }));
    EXPECT_EQ(view_.closes_asked, 1);
    Destroy();
    timers_.refuse_start = false;
  }
  {
    view_ = RecordingView();
    InstallController& c = Make();
    Prepare(/*old_install=*/false, /*stage=*/true);
    c.OnInstall();
    EXPECT_EQ(view_.state, WindowState::Installed);
    EXPECT_EQ(view_.closes_asked, 1);
    EXPECT_EQ(c.exit_code(), kExitSuccess);
    Destroy();
    EXPECT_EQ(steps_.terminals_started, 0);
  }
}

}  // namespace
