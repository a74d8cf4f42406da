// The install controller inside the real installer window and modal loop: the clients' reports
// arrive as posted and sent window messages, the window's timers drive the watchdog and the
// reconnections, and what the controller shows is on the window.
#include "app/controller_window_win.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <thread>

#include "app/install_controller.h"
#include "app/testing/controller_stand_ins.h"
#include "net/socket_ops.h"
#include "net/testing/loopback_peer.h"
#include "test_support/temp_dir.h"
#include "ui/drawing_objects.h"
#include "ui/quillbank_dlg.h"
#include "ui/testing/test_capture.h"

namespace {

constexpr UINT kRunScript = WM_APP + 0x3A1;

// The window's side of the controller with a script run inside the modal loop.
class ScriptedWindow : public ControllerWindow {
 public:
  ScriptedWindow(const ControllerConfig& config, InstallSteps* steps,
                 std::function<void(TQuillbankDlg&)> script)
      : ControllerWindow(config, steps), script_(std::move(script)) {}
  void OnCreate(TQuillbankDlg& dlg) override {
    ControllerWindow::OnCreate(dlg);
    PostMessageW(dlg.Handle(), kRunScript, 0, 0);
  }
  bool OnMessage(TQuillbankDlg& dlg, UINT message, WPARAM w_param, LPARAM l_param) override {
    if (message != kRunScript) return ControllerWindow::OnMessage(dlg, message, w_param, l_param);
    script_(dlg);
    if (dlg.Handle() != nullptr) dlg.Close();
    return true;
  }

 private:
  std::function<void(TQuillbankDlg&)> script_;
};

// Dispatches the thread's messages until `done` holds or the time is up.
bool PumpUntil(const std::function<bool()>& done, int timeout_ms = 30000) {
  const DWORD start = GetTickCount();
  while (!done()) {
    if (GetTickCount() - start > static_cast<DWORD>(timeout_ms)) return false;
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
  }
  return true;
}

class ControllerWindowTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    UsePrivateDesktop();
    CreateDrawingObjects();
  }
  static void TearDownTestSuite() { DeleteDrawingObjects(); }

  ControllerWindowTest() {
    config_.context = ContextBelow(dir_.path());
    config_.swap_steps.wait = [](unsigned) {};
  }
  void Servers(const char* pattern, uint16_t port) {
    config_.update_servers = UpdateServersAt(pattern, port);
  }
  void Run(const std::function<void(TQuillbankDlg&, InstallController&)>& script) {
    ScriptedWindow* self = nullptr;
    ScriptedWindow window(config_, &steps_,
                          [&](TQuillbankDlg& dlg) { script(dlg, self->controller()); });
    self = &window;
    TQuillbankDlg dlg(&window, config_.context);
    dlg.RunModal();
  }

  SocketsLibrary sockets_;
  TempDir dir_;
  ControllerConfig config_;
  StubSteps steps_;
};

// Refused connects are reported from the connections' own threads, as posted messages.
TEST_F(ControllerWindowTest, PostedReportsReachTheControllerAndTheWindowShowsTheOutcome) {
  Servers("127.0.0.%d", FreeLoopbackPort());
  Run([](TQuillbankDlg& dlg, InstallController& c) {
    c.OnButtonClick();
    EXPECT_EQ(dlg.State(), WindowState::Installing);
    ASSERT_TRUE(PumpUntil([&] { return dlg.State() == WindowState::Failed; }));
    EXPECT_EQ(c.check_disconnects(), 3);
    EXPECT_EQ(dlg.StatusText(), L"Install Fail,Server Link Fail");
  });
}

// The window's timers: a silent service ends the check once the stall time has passed.
TEST_F(ControllerWindowTest, TheWatchdogRunsOnTheWindowsTimers) {
  LoopbackPeer peer;
  ASSERT_TRUE(peer.listening());
  std::thread server([&] {
    if (peer.Accept()) peer.WaitClosedByClient(20000);
  });
  Servers("127.0.0.1", peer.port());
  config_.stall_timeout_ms = 300;
  Run([](TQuillbankDlg& dlg, InstallController& c) {
    c.OnButtonClick();
    EXPECT_EQ(c.phase(), InstallPhase::Checking);
    ASSERT_TRUE(PumpUntil([&] { return dlg.State() == WindowState::Failed; }, 20000));
    EXPECT_EQ(dlg.StatusText(), L"Install Fail,Server Link Fail");
  });
  server.join();
}

// A lost connection is sent (handled before the client goes on); the reconnections wait on the
// window's timers, doubling, until the third fails the install.
TEST_F(ControllerWindowTest, SentLossesAndTheReconnectionTimers) {
  Servers("127.0.0.1", FreeLoopbackPort());
  config_.reconnect_pause_ms = 10;
  Run([](TQuillbankDlg& dlg, InstallController& c) {
    dlg.SetState(WindowState::Installing);
    UpdateOffer offer;
    offer.DownloadHost = "127.0.0.1";
    offer.DownloadPort = 0x10000;  // no port in the low 16 bits: every attempt fails at once
    c.StartDownload(offer);
    EXPECT_EQ(c.phase(), InstallPhase::Reconnecting);
    EXPECT_TRUE(dlg.Reconnecting());
    ASSERT_TRUE(PumpUntil([&] { return dlg.State() == WindowState::Failed; }));
    EXPECT_EQ(c.reconnects(), InstallController::kMaxReconnects);
    EXPECT_FALSE(dlg.Reconnecting());
  });
}

}  // namespace
