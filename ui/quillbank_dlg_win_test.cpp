// The installer window's behaviour: its shape and place, what it sets up on creation, what the
// mouse does in each state, and what reaches the install logic behind it.
#include "ui/quillbank_dlg.h"

#include <gtest/gtest.h>

#include "core/install_context.h"
#include "core/window_messages.h"
#include "ui/drawing_objects.h"
#include "ui/testing/test_capture.h"
#include "ui/testing/test_dlg_script.h"

namespace {

constexpr POINT kButtonCentre = {230, 252};
constexpr POINT kCloseGlyphCentre = {451, 12};
constexpr POINT kEmptySpot = {100, 150};

class InstallerWindow : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    UsePrivateDesktop();
    CreateDrawingObjects();
  }
  static void TearDownTestSuite() { DeleteDrawingObjects(); }

  // Pulls the drag request the window posts to itself, if any, so no move loop starts.
  static bool TakeDragRequest(HWND hwnd, LPARAM expected) {
    MSG msg = {};
    if (!PeekMessageW(&msg, hwnd, WM_NCLBUTTONDOWN, WM_NCLBUTTONDOWN, PM_REMOVE)) return false;
    return msg.wParam == HTCAPTION && msg.lParam == expected;
  }

  ScriptController controller_;
};

TEST_F(InstallerWindow, IsAFramelessTopmostPopupCentredOnTheDisplayUnderTheCursor) {
  SetCursorPos(3, 3);
  HMONITOR monitor = MonitorFromPoint({3, 3}, MONITOR_DEFAULTTOPRIMARY);
  MONITORINFO info = {};
  info.cbSize = sizeof info;
  GetMonitorInfoW(monitor, &info);
  const LONG expected_x = (info.rcMonitor.right - info.rcMonitor.left - 463) / 2 + info.rcMonitor.left;
  const LONG expected_y = (GetSystemMetrics(SM_CYSCREEN) - 320) / 2;

  RunDlgScript(controller_, [&](TQuillbankDlg& dlg) {
    HWND hwnd = dlg.Handle();
    RECT window = {};
    GetWindowRect(hwnd, &window);
    EXPECT_EQ(window.left, expected_x);
    EXPECT_EQ(window.top, expected_y);
    EXPECT_EQ(window.right - window.left, 463);
    EXPECT_EQ(window.bottom - window.top, 320);
    RECT client = {};
    GetClientRect(hwnd, &client);
    EXPECT_EQ(client.right, 463);
    EXPECT_EQ(client.bottom, 320);

    const LONG style = GetWindowLongW(hwnd, GWL_STYLE);
    EXPECT_TRUE(style & WS_POPUP);
    EXPECT_FALSE(style & (WS_CAPTION | WS_THICKFRAME | WS_SYSMENU | WS_BORDER));
    EXPECT_TRUE(GetWindowLongW(hwnd, GWL_EXSTYLE) & WS_EX_TOPMOST);
    EXPECT_TRUE(IsWindowVisible(hwnd));

    wchar_t text[8] = {};
    GetWindowTextW(hwnd, text, 8);
    EXPECT_STREQ(text, L"\u5C9A\u821F");

    const RECT& button = dlg.ButtonRect();
    EXPECT_EQ(button.left, 198);
    EXPECT_EQ(button.top, 240);
    EXPECT_EQ(button.right, 262);
    EXPECT_EQ(button.bottom, 265);
    const RECT& status = dlg.StatusRect();
    EXPECT_EQ(status.left, 193);
    EXPECT_EQ(status.top, 290);
    EXPECT_EQ(status.right, 453);
    EXPECT_EQ(status.bottom, 315);

    // The progress bar: a child at (30, 268), 403 x 12, shown only while installing.
    ASSERT_NE(dlg.ProgressBar(), nullptr);
    HWND bar = dlg.ProgressBar()->Handle();
    EXPECT_EQ(GetParent(bar), hwnd);
    RECT bar_rect = {};
    GetWindowRect(bar, &bar_rect);
    MapWindowPoints(nullptr, hwnd, reinterpret_cast<POINT*>(&bar_rect), 2);
    EXPECT_EQ(bar_rect.left, 30);
    EXPECT_EQ(bar_rect.top, 268);
    EXPECT_EQ(bar_rect.right - bar_rect.left, 403);
    EXPECT_EQ(bar_rect.bottom - bar_rect.top, 12);
    EXPECT_FALSE(IsWindowVisible(bar));
    dlg.SetState(WindowState::Installing);
    EXPECT_TRUE(IsWindowVisible(bar));
    dlg.SetState(WindowState::Failed);
    EXPECT_FALSE(IsWindowVisible(bar));
  });
  EXPECT_EQ(controller_.creates, 1);
  EXPECT_FALSE(controller_.visible_when_created);
  // The object is gone too: the controller heard of it after the progress bar was released.
  EXPECT_EQ(controller_.destroys, 1);
  EXPECT_FALSE(controller_.progress_bar_when_destroyed);
}

TEST_F(InstallerWindow, ButtonActsOnlyInReadyAndInstalled) {
  RunDlgScript(controller_, [&](TQuillbankDlg& dlg) {
    HWND hwnd = dlg.Handle();
    UpdateWindow(hwnd);
    SendMouse(hwnd, WM_LBUTTONDOWN, MK_LBUTTON, kButtonCentre.x, kButtonCentre.y);
    EXPECT_EQ(controller_.button_clicks, 1);
    EXPECT_FALSE(TakeDragRequest(hwnd, MAKELPARAM(kButtonCentre.x, kButtonCentre.y)));

    for (WindowState state : {WindowState::Installing, WindowState::Failed}) {
      dlg.SetState(state);
      SendMouse(hwnd, WM_LBUTTONDOWN, MK_LBUTTON, kButtonCentre.x, kButtonCentre.y);
      EXPECT_EQ(controller_.button_clicks, 1);
      EXPECT_EQ(controller_.opens, 0);
      EXPECT_TRUE(dlg.Running());
    }

    // "Open": hidden first, then the controller, then closed. Pressed soon after "Install", at
    // the same place, the press comes as a double click (the class takes them): a press still.
    dlg.SetState(WindowState::Installed);
    SendMouse(hwnd, WM_LBUTTONDBLCLK, MK_LBUTTON, kButtonCentre.x, kButtonCentre.y);
    EXPECT_EQ(controller_.opens, 1);
    EXPECT_FALSE(controller_.visible_when_opened);
    EXPECT_EQ(controller_.closes, 1);
    EXPECT_FALSE(dlg.Running());
    EXPECT_EQ(dlg.Handle(), nullptr);
  });
}

TEST_F(InstallerWindow, CloseBoxClosesExceptWhileInstallingUnlessOffered) {
  for (WindowState state : {WindowState::Ready, WindowState::Failed, WindowState::Installed}) {
    ScriptController controller;
    const bool result = RunDlgScript(controller, [&](TQuillbankDlg& dlg) {
      dlg.SetState(state);
      UpdateWindow(dlg.Handle());
      SendMouse(dlg.Handle(), WM_LBUTTONUP, 0, kCloseGlyphCentre.x, kCloseGlyphCentre.y);
      EXPECT_FALSE(dlg.Running()) << static_cast<int>(state);
    });
    EXPECT_TRUE(result);  // the close box leaves the modal result alone
    EXPECT_EQ(controller.closes, 1);
  }

  RunDlgScript(controller_, [&](TQuillbankDlg& dlg) {
    UpdateWindow(dlg.Handle());  // the close box is known from the first paint
    dlg.SetState(WindowState::Installing);
    UpdateWindow(dlg.Handle());
    SendMouse(dlg.Handle(), WM_LBUTTONUP, 0, kCloseGlyphCentre.x, kCloseGlyphCentre.y);
    EXPECT_TRUE(dlg.Running());
    EXPECT_EQ(controller_.closes, 0);
  });

  // A controller that offers it while downloading: it closes then, but not once the install
  // steps run (100% shown).
  for (bool finishing : {true, false}) {
    ScriptController controller;
    controller.close_while_installing = true;
    RunDlgScript(controller, [&](TQuillbankDlg& dlg) {
      if (finishing) {
        dlg.ShowInstallFinishing();
      } else {
        dlg.SetState(WindowState::Installing);
      }
      EXPECT_EQ(dlg.CloseBoxShown(), !finishing);
      UpdateWindow(dlg.Handle());
      SendMouse(dlg.Handle(), WM_LBUTTONUP, 0, kCloseGlyphCentre.x, kCloseGlyphCentre.y);
      EXPECT_EQ(dlg.Running(), finishing);
      if (finishing) dlg.SetState(WindowState::Failed);
    });
    EXPECT_EQ(controller.closes, 1);
  }
}

TEST_F(InstallerWindow, PressElsewhereDragsTheWindowInEveryState) {
  RunDlgScript(controller_, [&](TQuillbankDlg& dlg) {
    HWND hwnd = dlg.Handle();
    UpdateWindow(hwnd);
    const LPARAM spot = MAKELPARAM(kEmptySpot.x, kEmptySpot.y);
    for (WindowState state : {WindowState::Ready, WindowState::Installing, WindowState::Failed,
                              WindowState::Installed}) {
      dlg.SetState(state);
      SendMouse(hwnd, WM_LBUTTONDOWN, MK_LBUTTON, kEmptySpot.x, kEmptySpot.y);
      EXPECT_TRUE(TakeDragRequest(hwnd, spot)) << static_cast<int>(state);
    }
    // Not with another button or key held, and not on the close box.
    SendMouse(hwnd, WM_LBUTTONDOWN, MK_LBUTTON | MK_CONTROL, kEmptySpot.x, kEmptySpot.y);
    EXPECT_FALSE(TakeDragRequest(hwnd, spot));
    dlg.SetState(WindowState::Ready);
    UpdateWindow(hwnd);
    SendMouse(hwnd, WM_LBUTTONDOWN, MK_LBUTTON, kCloseGlyphCentre.x, kCloseGlyphCentre.y);
    EXPECT_FALSE(TakeDragRequest(hwnd, MAKELPARAM(kCloseGlyphCentre.x, kCloseGlyphCentre.y)));
    EXPECT_EQ(controller_.button_clicks, 0);
  });
}

TEST_F(InstallerWindow, ClientMessagesAndTheSystemCloseCommandReachTheController) {
  controller_.keep_open = true;
  const bool result = RunDlgScript(controller_, [&](TQuillbankDlg& dlg) {
    PostMessageW(dlg.Handle(), UM_FILE_DONE, 0, 0);
    PostMessageW(dlg.Handle(), UM_DL_DISCONNECT, 0, 0);
    PostMessageW(dlg.Handle(), WM_APP + 5, 0, 0);  // left unhandled by the controller
    PostMessageW(dlg.Handle(), WM_SYSCOMMAND, SC_CLOSE, 0);
  });
  EXPECT_FALSE(result);  // the system close command sets modal result 0
  EXPECT_EQ(controller_.closes, 1);
  EXPECT_EQ(controller_.messages, (std::vector<UINT>{UM_FILE_DONE, UM_DL_DISCONNECT, WM_APP + 5}));
}

}  // namespace
