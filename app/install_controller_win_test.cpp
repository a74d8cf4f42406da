// The install controller inside the real installer window and modal loop: connecting, the
// clients' messages, failures, the install step with its copy, and closing.
#include <windows.h>
// windows.h maps SendMessage to SendMessageA; the loopback peer's own SendMessage is meant here.
#undef SendMessage

#include "app/install_controller.h"

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
#include "net/message.h"
#include "net/testing/loopback_peer.h"
#include "test_support/temp_dir.h"
#include "ui/drawing_objects.h"
#include "ui/quillbank_dlg.h"
#include "ui/testing/test_capture.h"

namespace {

constexpr UINT kRunScript = WM_APP + 0x3A1;

// The real controller, with a script run inside the window's modal loop and a record of the
// clients' messages that reached the window.
class ScriptedController : public InstallController {
 public:
  using Script = std::function<void(TQuillbankDlg&, ScriptedController&)>;
  ScriptedController(const UpdateServers& servers, Script script)
      : InstallController(servers), script_(std::move(script)) {}

  void OnCreate(TQuillbankDlg& dlg) override {
    InstallController::OnCreate(dlg);
    PostMessageW(dlg.Handle(), kRunScript, 0, 0);
  }
  bool OnMessage(TQuillbankDlg& dlg, UINT message, WPARAM w_param, LPARAM l_param) override {
    if (message == kRunScript) {
      script_(dlg, *this);
      if (dlg.Handle() != nullptr) dlg.Close();
      return true;
    }
    messages.push_back(message);
    return InstallController::OnMessage(dlg, message, w_param, l_param);
  }

  int Count(UINT message) const {
    int n = 0;
    for (UINT m : messages) n += m == message;
    return n;
  }

  std::vector<UINT> messages;

 private:
  Script script_;
};

// Dispatches the thread's messages until `done` holds or the time is up.
bool PumpUntil(const std::function<bool()>& done, int timeout_ms = 8000) {
  const DWORD start = GetTickCount();
  while (!done()) {
    if (GetTickCount() - start > static_cast<DWORD>(timeout_ms)) return false;
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    Sleep(10);
  }
  return true;
}

UpdateServers Servers(const char* pattern, uint16_t port) {
  UpdateServers servers = {};
  std::snprintf(servers.HostPattern, sizeof servers.HostPattern, "%s", pattern);
  servers.Port = port;
  return servers;
}

// A port on which nothing listens on 127.0.0.x.
uint16_t FreePort() {
  SocketsLibrary sockets;
  uint16_t port = 0;
  UniqueSocket listener(OpenListener("127.0.0.1", 0, 1, &port));
  return port;
}

class InstallControllerTest : public ::testing::Test {
 protected:
  // Start-up has the sockets library started before the window exists; so do the tests.
  static void SetUpTestSuite() {
    UsePrivateDesktop();
    CreateDrawingObjects();
    StartSockets();
  }
  static void TearDownTestSuite() {
    StopSockets();
    DeleteDrawingObjects();
  }

  void SetUp() override {
    InstallContext& ctx = InstallContext::Get();
    ctx.LanguageId = 0x0409;
    ctx.InstallDir.clear();
    ModuleList::Get().ClearForTest();
  }

  void Run(const UpdateServers& servers, const ScriptedController::Script& script) {
    ScriptedController controller(servers, script);
    TQuillbankDlg dlg(&controller);
    dlg.RunModal();
  }
};

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

class InstallStepTest : public InstallControllerTest {
 protected:
  // Puts the three folders in a temporary folder: an old install, and a staging folder with the
  // files of the new one (unless `stage` is false).
  void Prepare(bool old_install, bool stage) {
    InstallContext& ctx = InstallContext::Get();
    ctx.InstallDir = dir_.Join("Quillbank100201");
    ctx.StagingDir = ctx.InstallDir + "temp";
    ctx.DependDir = dir_.Join("QuillbankDependBase");
    ctx.ProductName = "qb-test-product";
    if (old_install) {
      ASSERT_TRUE(MakePathDirs((ctx.InstallDir + "\\old.dat").c_str()));
      ASSERT_TRUE(WriteFileBytes(ctx.InstallDir + "\\old.dat", "old install"));
    }
    if (stage) {
      ASSERT_TRUE(MakePathDirs((ctx.StagingDir + "\\data\\x").c_str()));
      ASSERT_TRUE(WriteFileBytes(ctx.StagingDir + "\\quillbank ix.exe", "new terminal"));
      ASSERT_TRUE(WriteFileBytes(ctx.StagingDir + "\\data\\quotes.dat", "new data"));
    } else {
      DeletePath(ctx.StagingDir.c_str());
    }
  }
  // A ".previous" beside the install folder, as a run that ended during its copy leaves it.
  static std::string PutPrevious() {
    const std::string aside = InstallContext::Get().InstallDir + ".previous";
    EXPECT_TRUE(MakePathDirs((aside + "\\good.dat").c_str()));
    EXPECT_TRUE(WriteFileBytes(aside + "\\good.dat", "last good install"));
    return aside;
  }
  // Opens a staged file without sharing: the copy cannot read it and goes on without it.
  static HANDLE HoldStagedFile() {
    const std::string path = InstallContext::Get().StagingDir + "\\data\\quotes.dat";
    return CreateFileA(path.c_str(), GENERIC_READ, /*dwShareMode=*/0, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  TempDir dir_;
};

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
