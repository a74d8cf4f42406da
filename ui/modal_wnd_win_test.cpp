// The window framework: binding objects to windows, the modal loop (what it dispatches, drops and
// how it ends), the base handling of the close box and dragging, and the base paint.
#include "ui/modal_wnd.h"

#include <functional>
#include <vector>

#include <gtest/gtest.h>

#include "ui/drawing_objects.h"
#include "ui/testing/test_capture.h"

namespace {

constexpr UINT kRunScript = WM_APP + 100;
constexpr UINT kPrivate = WM_APP + 1;

// A window object that records every message it sees and leaves them all to the default.
class RecordingWindow : public TIxFrm {
 public:
  LRESULT WndProc(UINT message, WPARAM, LPARAM) override {
    messages.push_back(message);
    return message == kPrivate ? 1234 : kNotHandled;
  }
  bool Saw(UINT message) const {
    for (UINT seen : messages) {
      if (seen == message) return true;
    }
    return false;
  }
  std::vector<UINT> messages;
};

// A modal window placed at a fixed spot, running a test script from inside its modal loop.
class ScriptedModalWnd : public TModalWnd {
 public:
  void OnCreate() override { PostMessageW(hwnd_, kRunScript, 0, 0); }
  void CenterWindow() override { MoveWindow(hwnd_, 100, 100, size.cx, size.cy, TRUE); }
  LRESULT WndProc(UINT message, WPARAM w_param, LPARAM l_param) override {
    if (message == kRunScript) {
      if (script) script(*this);
      return 0;
    }
    return TModalWnd::WndProc(message, w_param, l_param);
  }
  void SetTitle(const wchar_t* title) { title_ = title; }
  const RECT& CloseBoxForTest() const { return close_box_; }

  SIZE size = {300, 200};
  std::function<void(ScriptedModalWnd&)> script;
};

void MoveCursorTo(HWND hwnd, int x, int y) {
  POINT point = {x, y};
  ClientToScreen(hwnd, &point);
  SetCursorPos(point.x, point.y);
}

class WindowFramework : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    UsePrivateDesktop();
    CreateDrawingObjects();
  }
  static void TearDownTestSuite() { DeleteDrawingObjects(); }
};

TEST_F(WindowFramework, CreateIxWindowBindsTheObjectWhichSeesMessagesFirst) {
  RecordingWindow object;
  CreateIxWindow(&object, L"QbRecording", nullptr, WS_POPUP, 0);
  HWND hwnd = object.Handle();
  ASSERT_NE(hwnd, nullptr);
  ASSERT_FALSE(object.messages.empty());
  EXPECT_EQ(object.messages.front(), static_cast<UINT>(WM_NCCREATE));
  RECT rect = {};
  GetWindowRect(hwnd, &rect);
  EXPECT_EQ(rect.right - rect.left, 0);
  EXPECT_EQ(rect.bottom - rect.top, 0);
  EXPECT_EQ(GetClassLongW(hwnd, GCL_STYLE), static_cast<DWORD>(CS_VREDRAW | CS_HREDRAW | CS_DBLCLKS));
  EXPECT_EQ(GetClassLongPtrW(hwnd, GCLP_HBRBACKGROUND), 0);

  // A handled message returns the object's result; an unhandled one gets the default processing.
  EXPECT_EQ(SendMessageW(hwnd, kPrivate, 0, 0), 1234);
  SendMessageW(hwnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"abc"));
  wchar_t text[8] = {};
  GetWindowTextW(hwnd, text, 8);
  EXPECT_STREQ(text, L"abc");

  // The class registers again without trouble for a second window.
  RecordingWindow second;
  CreateIxWindow(&second, L"QbRecording", nullptr, WS_POPUP, 0);
  EXPECT_NE(second.Handle(), nullptr);

  DestroyWindow(hwnd);
  EXPECT_TRUE(object.Saw(WM_NCDESTROY));
  EXPECT_EQ(object.Handle(), nullptr);

  // An object that goes before its window takes the window with it.
  HWND orphan = nullptr;
  {
    RecordingWindow short_lived;
    CreateIxWindow(&short_lived, L"QbRecording", nullptr, WS_POPUP, 0);
    orphan = short_lived.Handle();
    ASSERT_TRUE(IsWindow(orphan));
  }
  EXPECT_FALSE(IsWindow(orphan));
}

TEST_F(WindowFramework, SystemCloseCommandWithoutPositionClosesWithResultZero) {
  ScriptedModalWnd window;
  window.script = [](ScriptedModalWnd& w) {
    PostMessageW(w.Handle(), WM_SYSCOMMAND, SC_CLOSE, 0);
  };
  EXPECT_FALSE(window.RunModal());
  EXPECT_EQ(window.ModalResult(), 0);
  EXPECT_FALSE(window.Running());
  EXPECT_EQ(window.Handle(), nullptr);
}

TEST_F(WindowFramework, LoopDropsInputForOtherWindowsButDeliversPrivateMessages) {
  RecordingWindow other;
  CreateIxWindow(&other, L"QbRecording", nullptr, WS_POPUP, 0);
  RecordingWindow child;
  ScriptedModalWnd window;
  window.script = [&](ScriptedModalWnd& w) {
    CreateIxWindow(&child, L"QbRecording", w.Handle(), WS_CHILD, 0);
    child.messages.clear();
    other.messages.clear();
    PostMessageW(other.Handle(), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
    PostMessageW(other.Handle(), WM_KEYDOWN, VK_RETURN, 0);
    PostMessageW(other.Handle(), WM_SYSCOMMAND, SC_CLOSE, MAKELPARAM(5, 5));
    PostMessageW(other.Handle(), kPrivate, 0, 0);
    PostMessageW(child.Handle(), WM_KEYDOWN, VK_RETURN, 0);
    PostMessageW(w.Handle(), WM_SYSCOMMAND, SC_CLOSE, 0);
  };
  EXPECT_FALSE(window.RunModal());
  EXPECT_EQ(other.messages, std::vector<UINT>{kPrivate});
  EXPECT_TRUE(IsWindow(other.Handle()));
  EXPECT_TRUE(child.Saw(WM_KEYDOWN));
  DestroyWindow(other.Handle());
}

TEST_F(WindowFramework, LoopEndsWhenTheWindowIsDestroyedByAnotherRoute) {
  // A system close command with a position is input for this window: the default processing
  // closes and destroys it, and the loop ends with the modal result unchanged.
  ScriptedModalWnd by_default;
  by_default.script = [](ScriptedModalWnd& w) {
    PostMessageW(w.Handle(), WM_SYSCOMMAND, SC_CLOSE, MAKELPARAM(5, 5));
  };
  EXPECT_TRUE(by_default.RunModal());
  EXPECT_EQ(by_default.ModalResult(), 1);
  EXPECT_EQ(by_default.Handle(), nullptr);

  ScriptedModalWnd destroyed;
  destroyed.script = [](ScriptedModalWnd& w) { DestroyWindow(w.Handle()); };
  EXPECT_TRUE(destroyed.RunModal());
  EXPECT_FALSE(destroyed.Running());
}

TEST_F(WindowFramework, PressDragsTheWindowExceptOnTheCloseBoxOrWithOtherKeys) {
  ScriptedModalWnd window;
  window.script = [](ScriptedModalWnd& w) {
    HWND hwnd = w.Handle();
    UpdateWindow(hwnd);  // the close box is known after the first paint
    MSG msg = {};
    MoveCursorTo(hwnd, 50, 100);
    SendMessageW(hwnd, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(50, 100));
    ASSERT_TRUE(PeekMessageW(&msg, hwnd, WM_NCLBUTTONDOWN, WM_NCLBUTTONDOWN, PM_REMOVE));
    EXPECT_EQ(msg.wParam, static_cast<WPARAM>(HTCAPTION));
    EXPECT_EQ(msg.lParam, MAKELPARAM(50, 100));

    SendMessageW(hwnd, WM_LBUTTONDOWN, MK_LBUTTON | MK_SHIFT, MAKELPARAM(50, 100));
    SendMessageW(hwnd, WM_LBUTTONDBLCLK, MK_LBUTTON, MAKELPARAM(50, 100));
    const RECT& box = w.CloseBoxForTest();
    MoveCursorTo(hwnd, box.left + 3, box.top + 3);
    SendMessageW(hwnd, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(box.left + 3, box.top + 3));
    EXPECT_FALSE(PeekMessageW(&msg, hwnd, WM_NCLBUTTONDOWN, WM_NCLBUTTONDOWN, PM_REMOVE));
    EXPECT_TRUE(w.Running());
    PostMessageW(hwnd, WM_SYSCOMMAND, SC_CLOSE, 0);
  };
  window.RunModal();
}

TEST_F(WindowFramework, BasePaintsFrameStripPictureCloseGlyphAndTitle) {
  HBITMAP picture_handle = LoadBitmapW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(103));
  const Image picture = ReadBitmap(picture_handle);
  DeleteObject(picture_handle);

  ScriptedModalWnd window;
  window.size = {500, 340};  // larger than the picture, so what lies under it shows
  window.script = [&](ScriptedModalWnd& w) {
    HWND hwnd = w.Handle();
    MoveCursorTo(hwnd, 200, 200);
    const Image plain = CaptureWindow(hwnd);
    EXPECT_EQ(plain.At(480, 5), 0x2D42DAu);    // caption strip
    EXPECT_EQ(plain.At(480, 100), 0xFFFFFFu);  // client fill
    EXPECT_EQ(plain.At(499, 200), 0x464646u);  // border, right
    EXPECT_EQ(plain.At(100, 339), 0x464646u);  // border, bottom
    EXPECT_EQ(CountDifferences(plain, picture, {0, 40, 467, 320}), 0);
    // The glyph: two diagonals of [480, 10, 490, 20], each one pixel longer to the right.
    for (POINT p : {POINT{480, 10}, POINT{485, 15}, POINT{490, 20}, POINT{480, 20}, POINT{490, 10}}) {
      EXPECT_EQ(plain.At(p.x, p.y), 0x969696u) << p.x << "," << p.y;
    }

    // Hovered, the glyph lights up; the title is drawn centred in the strip.
    w.SetTitle(L"Setup");
    MoveCursorTo(hwnd, 485, 15);
    SendMessageW(hwnd, WM_MOUSEMOVE, 0, MAKELPARAM(485, 15));
    const Image hovered = CaptureWindow(hwnd);
    EXPECT_EQ(hovered.At(480, 10), 0xE7E7E7u);
    const Image titled = DrawTextOver(plain, BodyFont, 0xE7E7E7, {0, 0, 500, 30}, L"Setup",
                                      DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
    EXPECT_EQ(CountDifferences(hovered, titled, {0, 0, 470, 30}), 0);
    EXPECT_GT(CountDifferences(plain, titled, {0, 0, 470, 30}), 20);

    // Leaving puts the glyph back to grey; releasing on it closes with result 0.
    SendMessageW(hwnd, WM_MOUSELEAVE, 0, 0);
    EXPECT_EQ(CaptureWindow(hwnd).At(480, 10), 0x969696u);
    MoveCursorTo(hwnd, 481, 11);
    SendMessageW(hwnd, WM_LBUTTONUP, 0, MAKELPARAM(481, 11));
  };
  EXPECT_FALSE(window.RunModal());
  EXPECT_EQ(window.ModalResult(), 0);
  EXPECT_EQ(window.Handle(), nullptr);
}

}  // namespace
