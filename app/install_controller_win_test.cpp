// The install controller inside the real installer window and modal loop: connecting, the
// clients' messages, failures, the install step with its copy, and closing.
#include <windows.h>
// windows.h maps SendMessage to SendMessageA; the loopback peer's own SendMessage is meant here.
#undef SendMessage

#include "app/install_controller.h"
#include "app/testing/controller_harness.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "base/file_system.h"
#include "base/make_path_dirs.h"
#include "base/win/scoped_handle.h"
#include "core/install_context.h"
#include "core/install_log.h"
#include "core/window_messages.h"
#include "install/system.h"
#include "wire/message.h"
#include "net/testing/loopback_peer.h"
#include "test_support/temp_dir.h"
#include "ui/drawing_objects.h"
#include "ui/quillbank_dlg.h"
#include "ui/testing/test_capture.h"

namespace {

TEST_F(InstallControllerTest, CreationDerivesTheFoldersClearsStagingAndOpensTheLog) {
  Run(Servers("127.0.0.1", FreePort()), [](TQuillbankDlg&, ScriptedController& c) {
    const InstallContext& ctx = InstallContext::Get();
    EXPECT_EQ(ctx.StagingDir, ctx.InstallDir + "temp");
    EXPECT_TRUE(IsInstallLogOpen());
    EXPECT_TRUE(PathExists((ctx.StagingDir + "\\log\\install.log").c_str()));
    EXPECT_NE(c.check_client(), nullptr);
    EXPECT_NE(c.download_client(), nullptr);
  });
  EXPECT_FALSE(IsInstallLogOpen());  // closed with the window
}

TEST_F(InstallControllerTest, ThreeUnresolvableHostsFailWithoutCountingDisconnects) {
  Run(Servers("qb-no-such-host-%d.invalid", 31711), [](TQuillbankDlg& dlg, ScriptedController& c) {
    c.OnButtonClick(dlg);
    ASSERT_TRUE(PumpUntil([&] { return dlg.State() == WindowState::Failed; }));
    EXPECT_EQ(dlg.StatusText(), L"Install Fail");
    EXPECT_EQ(c.Count(UM_LOGIN_FAIL), 1);
    EXPECT_EQ(c.Count(UM_CHECK_DISCONNECT), 0);
  });
}

TEST_F(InstallControllerTest, ThreeRefusedConnectsCountThreeDisconnectsAndTheThirdFails) {
  Run(Servers("127.0.0.%d", FreePort()), [](TQuillbankDlg& dlg, ScriptedController& c) {
    const std::string staging = InstallContext::Get().StagingDir;
    c.OnButtonClick(dlg);
    ASSERT_TRUE(PumpUntil([&] { return c.Count(UM_CHECK_DISCONNECT) == 3; }))
        << c.Count(UM_CHECK_DISCONNECT) << " disconnects, " << c.messages.size() << " messages";
    ASSERT_TRUE(PumpUntil([&] { return c.Count(UM_LOGIN_FAIL) == 1; }));
    EXPECT_EQ(dlg.State(), WindowState::Failed);
    EXPECT_EQ(c.check_disconnects(), 3);
    EXPECT_FALSE(IsInstallLogOpen());
    EXPECT_FALSE(PathExists(staging.c_str()));
  });
}

TEST_F(InstallControllerTest, RefusedUpdateShowsTheCodeAsSignedDecimal) {
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
  Run(Servers("127.0.0.1", peer.port()), [](TQuillbankDlg& dlg, ScriptedController& c) {
    c.OnButtonClick(dlg);
    ASSERT_TRUE(PumpUntil([&] { return c.Count(UM_UPDATE_REFUSED) == 1; }));
    EXPECT_EQ(dlg.State(), WindowState::Failed);
    EXPECT_EQ(dlg.StatusText(), L"Install Fail,Error Code:-1");
  });
  server.join();
}

TEST_F(InstallControllerTest, DownloadPortWithoutLow16BitsEndsInDownloadDisconnect) {
  InstallController::SetReconnectPauseForTest(10);
  Run(Servers("127.0.0.1", FreePort()), [](TQuillbankDlg& dlg, ScriptedController& c) {
    InstallContext& ctx = InstallContext::Get();
    std::snprintf(ctx.DownloadHost, sizeof ctx.DownloadHost, "127.0.0.1");
    ctx.DownloadPort = 0x10000;
    dlg.SetState(WindowState::Installing);
    c.OnModuleDL();
    // Sent synchronously: handled before OnModuleDL returns, as a lost connection.
    EXPECT_EQ(c.Count(UM_DL_DISCONNECT), 1);
    EXPECT_EQ(c.phase(), InstallPhase::Reconnecting);
    // Every reconnection fails the same way; after the third the install fails.
    ASSERT_TRUE(PumpUntil([&] { return dlg.State() == WindowState::Failed; }));
    EXPECT_EQ(c.Count(UM_DL_DISCONNECT), 4);
    EXPECT_EQ(c.reconnects(), InstallController::kMaxReconnects);
    EXPECT_EQ(dlg.StatusText(), L"Install Fail,Server Link Fail");
    EXPECT_FALSE(PathExists(ctx.StagingDir.c_str()));
  });
  InstallController::SetReconnectPauseForTest(InstallController::kReconnectPauseMs);
}

// A lost download connection: "Reconnecting" in place of the percentage, files finished before
// the loss still count, what the lost connection posted about its own stage is ignored, and the
// first chunk on a new connection brings the percentage back.
TEST_F(InstallControllerTest, LostDownloadShowsReconnectingUntilDataFlowsAgain) {
  InstallController::SetReconnectPauseForTest(60000);  // the pause outlasts the test
  Run(Servers("127.0.0.1", FreePort()), [](TQuillbankDlg& dlg, ScriptedController& c) {
    c.SetPhaseForTest(InstallPhase::Downloading);
    dlg.SetState(WindowState::Installing);
    dlg.SetFilesTotal(4);
    dlg.SetFilesDone(2);
    SendMessageW(dlg.Handle(), UM_DL_DISCONNECT, 0, 0);
    EXPECT_EQ(c.phase(), InstallPhase::Reconnecting);
    EXPECT_TRUE(dlg.Reconnecting());
    EXPECT_EQ(c.reconnects(), 1);
    for (UINT m : {UM_FILE_DONE, UM_BASE_DONE, UM_DL_RECEIVING, UM_DL_DISCONNECT}) {
      PostMessageW(dlg.Handle(), m, 0, 0);
    }
    ASSERT_TRUE(PumpUntil([&] { return c.Count(UM_DL_DISCONNECT) == 2; }));
    EXPECT_EQ(dlg.FilesDone(), 3);
    EXPECT_TRUE(dlg.Reconnecting());
    EXPECT_EQ(c.reconnects(), 1);
    EXPECT_EQ(dlg.State(), WindowState::Installing);

    // As after the pause: connected again, and the first chunk arrives.
    c.SetPhaseForTest(InstallPhase::Downloading);
    SendMessageW(dlg.Handle(), UM_DL_RECEIVING, 0, 0);
    EXPECT_FALSE(dlg.Reconnecting());
    EXPECT_EQ(dlg.FilesDone(), 3);
  });
  InstallController::SetReconnectPauseForTest(InstallController::kReconnectPauseMs);
}

TEST_F(InstallStepTest, RenamedIntoPlaceAndTheOldInstallDeletedAfterOpenIsShown) {
  Run(Servers("127.0.0.1", FreePort()), [this](TQuillbankDlg& dlg, ScriptedController& c) {
    Prepare(/*old_install=*/true, /*stage=*/true);
    const InstallContext& ctx = InstallContext::Get();
    ASSERT_TRUE(WriteFileBytes(ctx.InstallDir + ".failed.log", "an earlier failure"));
    c.OnInstall(dlg);
    EXPECT_EQ(dlg.State(), WindowState::Installed);
    EXPECT_EQ(ReadFileBytes(ctx.InstallDir + "\\data\\quotes.dat"), "new data");
    EXPECT_EQ(ReadFileBytes(ctx.InstallDir + "\\quillbank ix.exe"), "new terminal");
    EXPECT_TRUE(PathExists((ctx.InstallDir + "\\module.info").c_str()));
    EXPECT_FALSE(PathExists((ctx.InstallDir + "\\old.dat").c_str()));
    EXPECT_FALSE(PathExists(ctx.StagingDir.c_str()));
    // A successful install leaves no failed attempt's log behind.
    EXPECT_FALSE(PathExists((ctx.InstallDir + ".failed.log").c_str()));
    // The old install goes off the window thread.
    EXPECT_TRUE(PumpUntil([&] { return !PathExists((ctx.InstallDir + ".previous").c_str()); }));
  });
}

TEST_F(InstallStepTest, FailedCopyPutsTheOldInstallBackAndFails) {
  Run(Servers("127.0.0.1", FreePort()), [this](TQuillbankDlg& dlg, ScriptedController& c) {
    Prepare(/*old_install=*/true, /*stage=*/false);  // nothing to copy: XCOPY fails
    const InstallContext& ctx = InstallContext::Get();
    c.OnInstall(dlg);
    EXPECT_EQ(dlg.State(), WindowState::Failed);
    EXPECT_EQ(dlg.StatusText(), L"Install Fail");
    EXPECT_EQ(ReadFileBytes(ctx.InstallDir + "\\old.dat"), "old install");
    EXPECT_FALSE(PathExists((ctx.InstallDir + ".previous").c_str()));
  });
}

TEST_F(InstallStepTest, OldInstallThatCannotBeMovedAsideIsLeftUntouched) {
  Run(Servers("127.0.0.1", FreePort()), [this](TQuillbankDlg& dlg, ScriptedController& c) {
    Prepare(/*old_install=*/true, /*stage=*/true);
    const InstallContext& ctx = InstallContext::Get();
    // The folder held open without sharing, as a program working in it would (Wine, unlike
    // Windows, lets a folder be renamed while a file inside is open).
    HANDLE held = CreateFileA(ctx.InstallDir.c_str(), GENERIC_READ, /*dwShareMode=*/0, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    c.OnInstall(dlg);
    CloseHandle(held);
    EXPECT_EQ(dlg.State(), WindowState::Failed);
    EXPECT_EQ(ReadFileBytes(ctx.InstallDir + "\\old.dat"), "old install");
    EXPECT_FALSE(PathExists((ctx.InstallDir + "\\quillbank ix.exe").c_str()));
    EXPECT_FALSE(PathExists(ctx.StagingDir.c_str()));
  });
}

TEST_F(InstallControllerTest, ClosingAfterInstalledWithTheDownloadConnectionOpenChangesNothing) {
  LoopbackPeer peer;
  ASSERT_TRUE(peer.listening());
  std::thread server([&] {
    if (peer.Accept()) peer.WaitClosedByClient(10000);
  });
  bool still_installed = false;
  std::wstring status_after;
  Run(Servers("127.0.0.1", FreePort()), [&](TQuillbankDlg& dlg, ScriptedController& c) {
    InstallContext& ctx = InstallContext::Get();
    std::snprintf(ctx.DownloadHost, sizeof ctx.DownloadHost, "127.0.0.1");
    ctx.DownloadPort = peer.port();
    c.OnModuleDL();
    c.SetPhaseForTest(InstallPhase::Installed);
    dlg.SetState(WindowState::Installed);
    dlg.Close();  // drops the download connection: UM_DL_DISCONNECT inside Close
    still_installed = dlg.State() == WindowState::Installed;
    status_after = dlg.StatusText();
    EXPECT_EQ(c.Count(UM_DL_DISCONNECT), 1);
  });
  server.join();
  EXPECT_TRUE(still_installed);
  EXPECT_TRUE(status_after.empty());
}

// The window's end states are final: once Failed, no client message brings back Installing or
// runs the install steps; once Installed, no drop turns it into a failure.
TEST_F(InstallStepTest, FailedAndInstalledAreFinal) {
  Run(Servers("127.0.0.1", FreePort()), [this](TQuillbankDlg& dlg, ScriptedController& c) {
    Prepare(/*old_install=*/true, /*stage=*/true);
    const InstallContext& ctx = InstallContext::Get();
    c.SetPhaseForTest(InstallPhase::Downloading);
    dlg.SetState(WindowState::Installing);
    PostMessageW(dlg.Handle(), UM_WRITE_FAIL, 0, 0);
    PostMessageW(dlg.Handle(), UM_FILE_DONE, 0, 0);
    PostMessageW(dlg.Handle(), UM_DOWNLOAD_DONE, 0, 0);
    ASSERT_TRUE(PumpUntil([&] { return c.Count(UM_DOWNLOAD_DONE) == 1; }));
    EXPECT_EQ(c.phase(), InstallPhase::Failed);
    EXPECT_EQ(dlg.State(), WindowState::Failed);
    EXPECT_EQ(dlg.StatusText(), L"Install Fail");
    EXPECT_EQ(ReadFileBytes(ctx.InstallDir + "\\old.dat"), "old install");
    EXPECT_FALSE(PathExists((ctx.InstallDir + "\\quillbank ix.exe").c_str()));
  });
  Run(Servers("127.0.0.1", FreePort()), [this](TQuillbankDlg& dlg, ScriptedController& c) {
    Prepare(/*old_install=*/false, /*stage=*/true);
    c.SetPhaseForTest(InstallPhase::Downloading);
    PostMessageW(dlg.Handle(), UM_DOWNLOAD_DONE, 0, 0);
    for (UINT m : {UM_DL_DISCONNECT, UM_CHECK_DISCONNECT, UM_CHECK_DISCONNECT,
                   UM_CHECK_DISCONNECT, UM_LOGIN_FAIL, UM_WRITE_FAIL}) {
      PostMessageW(dlg.Handle(), m, 0, 0);
    }
    ASSERT_TRUE(PumpUntil([&] { return c.Count(UM_WRITE_FAIL) == 1; }));
    EXPECT_EQ(c.phase(), InstallPhase::Installed);
    EXPECT_EQ(dlg.State(), WindowState::Installed);
    EXPECT_TRUE(dlg.StatusText().empty());
  });
}

// A staging folder that cannot be renamed (held) is copied instead; a copy that misses a file
// (held without sharing, so the copy cannot read it) fails and puts the old install back.
TEST_F(InstallStepTest, StagingThatCannotMoveIsCopiedAndAShortCopyPutsTheOldInstallBack) {
  for (bool file_held : {true, false}) {
    SCOPED_TRACE(file_held ? "a staged file held" : "only the folder held");
    Run(Servers("127.0.0.1", FreePort()), [&](TQuillbankDlg& dlg, ScriptedController& c) {
      Prepare(/*old_install=*/true, /*stage=*/true);
      const InstallContext& ctx = InstallContext::Get();
      ScopedHandle folder(HoldFolder(ctx.StagingDir));
      ASSERT_TRUE(folder.valid());
      ScopedHandle file(file_held ? HoldStagedFile() : INVALID_HANDLE_VALUE);
      c.OnInstall(dlg);
      folder.reset();
      file.reset();
      if (file_held) {
        EXPECT_EQ(dlg.State(), WindowState::Failed);
        EXPECT_EQ(ReadFileBytes(ctx.InstallDir + "\\old.dat"), "old install");
        EXPECT_FALSE(PathExists((ctx.InstallDir + "\\quillbank ix.exe").c_str()));
        EXPECT_FALSE(PathExists((ctx.InstallDir + ".previous").c_str()));
        const std::string log = ReadFileBytes(ctx.InstallDir + ".failed.log");
        EXPECT_NE(log.find("incomplete at: data\\quotes.dat"), std::string::npos) << log;
      } else {
        EXPECT_EQ(dlg.State(), WindowState::Installed);
        EXPECT_EQ(ReadFileBytes(ctx.InstallDir + "\\data\\quotes.dat"), "new data");
        EXPECT_TRUE(PathExists((ctx.InstallDir + "\\module.info").c_str()));
        EXPECT_TRUE(PumpUntil([&] {
          return !PathExists(ctx.StagingDir.c_str()) &&
                 !PathExists((ctx.InstallDir + ".previous").c_str());
        }));
      }
    });
  }
}

// A file of the old install that a program holds (without letting it be deleted) keeps the old
// install where it is: retried, then Failed, and the kept log names the file.
TEST_F(InstallStepTest, HeldFileOfTheOldInstallFailsAfterTheRetriesAndIsNamed) {
  Run(Servers("127.0.0.1", FreePort()), [this](TQuillbankDlg& dlg, ScriptedController& c) {
    Prepare(/*old_install=*/true, /*stage=*/true);
    const InstallContext& ctx = InstallContext::Get();
    const std::string held_path = ctx.InstallDir + "\\old.dat";
    ScopedHandle held(CreateFileA(held_path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(held.valid());
    c.OnInstall(dlg);
    held.reset();
    EXPECT_EQ(dlg.State(), WindowState::Failed);
    EXPECT_EQ(ReadFileBytes(held_path), "old install");
    EXPECT_FALSE(PathExists((ctx.InstallDir + "\\quillbank ix.exe").c_str()));
    EXPECT_FALSE(PathExists((ctx.InstallDir + ".previous").c_str()));
    EXPECT_FALSE(PathExists(ctx.StagingDir.c_str()));
    const std::string log = ReadFileBytes(ctx.InstallDir + ".failed.log");
    EXPECT_NE(log.find("held: " + held_path), std::string::npos) << log;
  });
}

// A ".previous" that the start-up could not settle is in the way: nothing is replaced.
TEST_F(InstallStepTest, PreviousInTheWayStopsTheReplaceWithEverythingAsItWas) {
  Run(Servers("127.0.0.1", FreePort()), [this](TQuillbankDlg& dlg, ScriptedController& c) {
    Prepare(/*old_install=*/true, /*stage=*/true);
    const InstallContext& ctx = InstallContext::Get();
    const std::string aside = PutPrevious();
    c.OnInstall(dlg);
    EXPECT_EQ(dlg.State(), WindowState::Failed);
    EXPECT_EQ(ReadFileBytes(ctx.InstallDir + "\\old.dat"), "old install");
    EXPECT_EQ(ReadFileBytes(aside + "\\good.dat"), "last good install");
    EXPECT_NE(ReadFileBytes(ctx.InstallDir + ".failed.log").find("is in the way"),
              std::string::npos);
  });
}

// A package the installer refuses (a module list over its bound) says so, not that the link
// failed.
TEST_F(InstallControllerTest, RefusedPackageShowsPackageCheckFailed) {
  Run(Servers("127.0.0.1", FreePort()), [](TQuillbankDlg& dlg, ScriptedController& c) {
    c.SetPhaseForTest(InstallPhase::Checking);
    dlg.SetState(WindowState::Installing);
    PostMessageW(dlg.Handle(), UM_PACKAGE_REFUSED, 0, 0);
    PostMessageW(dlg.Handle(), UM_CHECK_DISCONNECT, 0, 0);  // the refusal closes the connection
    ASSERT_TRUE(PumpUntil([&] { return c.Count(UM_CHECK_DISCONNECT) == 1; }));
    EXPECT_EQ(c.phase(), InstallPhase::Failed);
    EXPECT_EQ(dlg.StatusText(), L"Package check failed");
  });
}

// The close box while checking or downloading: offered, and the install ends as with a lost
// connection (staging gone, the old install untouched, the log kept); not offered in the steps.
TEST_F(InstallStepTest, CloseWhileDownloadingEndsTheInstallCleanly) {
  for (InstallPhase phase : {InstallPhase::Checking, InstallPhase::Downloading,
                             InstallPhase::Reconnecting}) {
    SCOPED_TRACE(PhaseName(phase));
    Run(Servers("127.0.0.1", FreePort()), [&](TQuillbankDlg& dlg, ScriptedController& c) {
      Prepare(/*old_install=*/true, /*stage=*/true);
      const InstallContext& ctx = InstallContext::Get();
      OpenInstallLog();
      c.SetPhaseForTest(phase);
      dlg.SetState(WindowState::Installing);
      EXPECT_TRUE(dlg.CloseBoxShown());
      dlg.Close();
      EXPECT_EQ(c.phase(), InstallPhase::Failed);
      EXPECT_FALSE(PathExists(ctx.StagingDir.c_str()));
      EXPECT_EQ(ReadFileBytes(ctx.InstallDir + "\\old.dat"), "old install");
      const std::string log = ReadFileBytes(ctx.InstallDir + ".failed.log");
      EXPECT_NE(log.find(std::string("closed in ") + PhaseName(phase)), std::string::npos) << log;
    });
  }
  Run(Servers("127.0.0.1", FreePort()), [](TQuillbankDlg& dlg, ScriptedController& c) {
    c.SetPhaseForTest(InstallPhase::Finishing);
    dlg.ShowInstallFinishing();
    EXPECT_FALSE(dlg.CloseBoxShown());
    dlg.SetState(WindowState::Failed);
  });
}

// A service that accepts and then sends nothing: the watchdog ends Installing.
TEST_F(InstallControllerTest, SilentServiceFailsWithTheConnectionText) {
  InstallController::SetStallTimeoutForTest(300);
  LoopbackPeer peer;
  ASSERT_TRUE(peer.listening());
  std::thread server([&] {
    if (peer.Accept()) peer.WaitClosedByClient(20000);
  });
  Run(Servers("127.0.0.1", peer.port()), [](TQuillbankDlg& dlg, ScriptedController& c) {
    c.OnButtonClick(dlg);
    EXPECT_EQ(c.phase(), InstallPhase::Checking);
    ASSERT_TRUE(PumpUntil([&] { return dlg.State() == WindowState::Failed; }, 20000));
    EXPECT_EQ(dlg.StatusText(), L"Install Fail,Server Link Fail");
  });
  server.join();
  InstallController::SetStallTimeoutForTest(InstallController::kStallTimeoutMs);
}

// The established check connection dropped before the module list is complete: nothing more can
// come, so the install fails at once rather than waiting for two more drops.
TEST_F(InstallControllerTest, CheckLinkLostBeforeTheListFailsAtOnce) {
  LoopbackPeer peer;
  ASSERT_TRUE(peer.listening());
  std::thread server([&] {
    std::string frame;
    if (peer.Accept() && peer.ReadFrame(&frame)) peer.Drop();
  });
  Run(Servers("127.0.0.1", peer.port()), [](TQuillbankDlg& dlg, ScriptedController& c) {
    c.OnButtonClick(dlg);
    ASSERT_TRUE(PumpUntil([&] { return c.Count(UM_CHECK_DISCONNECT) == 1; }));
    EXPECT_EQ(dlg.State(), WindowState::Failed);
    EXPECT_EQ(dlg.StatusText(), L"Install Fail,Server Link Fail");
    EXPECT_FALSE(PathExists(InstallContext::Get().StagingDir.c_str()));
  });
  server.join();
}

}  // namespace
