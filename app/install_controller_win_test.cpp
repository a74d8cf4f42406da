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

TEST_F(InstallStepTest, GoodCopyReplacesTheInstallAndLeavesNoAsideFolder) {
  Run(Servers("127.0.0.1", FreePort()), [this](TQuillbankDlg& dlg, ScriptedController& c) {
    Prepare(/*old_install=*/true, /*stage=*/true);
    const InstallContext& ctx = InstallContext::Get();
    c.OnInstall(dlg);
    EXPECT_EQ(dlg.State(), WindowState::Installed);
    EXPECT_EQ(ReadFileBytes(ctx.InstallDir + "\\data\\quotes.dat"), "new data");
    EXPECT_EQ(ReadFileBytes(ctx.InstallDir + "\\quillbank ix.exe"), "new terminal");
    EXPECT_TRUE(PathExists((ctx.InstallDir + "\\module.info").c_str()));
    EXPECT_FALSE(PathExists((ctx.InstallDir + "\\old.dat").c_str()));
    EXPECT_FALSE(PathExists((ctx.InstallDir + ".previous").c_str()));
    EXPECT_FALSE(PathExists(ctx.StagingDir.c_str()));
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

TEST_F(InstallStepTest, CopyThatMissesAFileFailsAndPutsTheOldInstallBack) {
  Run(Servers("127.0.0.1", FreePort()), [this](TQuillbankDlg& dlg, ScriptedController& c) {
    Prepare(/*old_install=*/true, /*stage=*/true);
    const InstallContext& ctx = InstallContext::Get();
    HANDLE held = HoldStagedFile();
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    c.OnInstall(dlg);
    CloseHandle(held);
    EXPECT_EQ(dlg.State(), WindowState::Failed);
    EXPECT_EQ(ReadFileBytes(ctx.InstallDir + "\\old.dat"), "old install");
    EXPECT_FALSE(PathExists((ctx.InstallDir + "\\quillbank ix.exe").c_str()));
    EXPECT_FALSE(PathExists((ctx.InstallDir + ".previous").c_str()));
  });
}

// A ".previous" left by a run that ended during its copy is the last good install; the install
// folder beside it is a partial copy.
TEST_F(InstallStepTest, LeftoverPreviousIsKeptAsTheLastGoodInstall) {
  Run(Servers("127.0.0.1", FreePort()), [this](TQuillbankDlg& dlg, ScriptedController& c) {
    Prepare(/*old_install=*/true, /*stage=*/true);
    const InstallContext& ctx = InstallContext::Get();
    const std::string aside = PutPrevious();
    HANDLE held = HoldStagedFile();  // the copy is incomplete
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    c.OnInstall(dlg);
    CloseHandle(held);
    EXPECT_EQ(dlg.State(), WindowState::Failed);
    EXPECT_EQ(ReadFileBytes(ctx.InstallDir + "\\good.dat"), "last good install");
    EXPECT_FALSE(PathExists((ctx.InstallDir + "\\old.dat").c_str()));
    EXPECT_FALSE(PathExists(aside.c_str()));
  });
  Run(Servers("127.0.0.1", FreePort()), [this](TQuillbankDlg& dlg, ScriptedController& c) {
    Prepare(/*old_install=*/true, /*stage=*/true);
    const InstallContext& ctx = InstallContext::Get();
    const std::string aside = PutPrevious();
    c.OnInstall(dlg);
    EXPECT_EQ(dlg.State(), WindowState::Installed);
    EXPECT_EQ(ReadFileBytes(ctx.InstallDir + "\\quillbank ix.exe"), "new terminal");
    EXPECT_FALSE(PathExists((ctx.InstallDir + "\\old.dat").c_str()));
    EXPECT_FALSE(PathExists(aside.c_str()));
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
