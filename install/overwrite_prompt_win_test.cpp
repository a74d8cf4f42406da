// The real overwrite prompt: a message box without owner, captioned "警告", whose Abort, Retry
// and Ignore buttons are pressed here from another thread as a user would.
#include "install/overwrite_prompt.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

constexpr char kCaption[] = "\xBE\xAF\xB8\xE6";

// Waits for the prompt, remembers its text, and presses `button`.
class PromptPresser {
 public:
  explicit PromptPresser(int button)
      : thread_([this, button] {
          // The box may be slow to come on a busy machine; ShowOverwritePrompt waits for the
          // press however long that takes, so the presser waits as long as the test may run.
          for (const ULONGLONG end = GetTickCount64() + 240000; GetTickCount64() < end;
               Sleep(25)) {
            HWND box = FindWindowA("#32770", kCaption);
            if (box == nullptr) continue;
            owner_seen_ = GetWindow(box, GW_OWNER) != nullptr;
            char text[1024] = {};
            GetDlgItemTextA(box, 0xFFFF, text, sizeof text);  // the box's static text
            text_ = text;
            PostMessageA(box, WM_COMMAND, button, 0);
            pressed_ = true;
            return;
          }
        }) {}
  ~PromptPresser() { Join(); }
  void Join() {
    if (thread_.joinable()) thread_.join();
  }
  bool pressed() const { return pressed_; }
  bool owner_seen() const { return owner_seen_; }
  const std::string& text() const { return text_; }

 private:
  std::atomic<bool> pressed_{false};
  bool owner_seen_ = false;
  std::string text_;
  std::thread thread_;
};

TEST(OverwritePromptWinTest, TheMessageBoxReturnsTheButtonPressed) {
  if (std::getenv("DISPLAY") == nullptr) {
    // Without a display no box can be shown, and that must read as no answer (not as Retry).
    EXPECT_EQ(ShowSystemOverwritePrompt("no display", kCaption), kPromptNoAnswer);
    GTEST_SKIP() << "no display to show the box on";
  }
  for (int button : {kPromptAbort, kPromptRetry, kPromptIgnore}) {
    PromptPresser presser(button);
    EXPECT_EQ(ShowSystemOverwritePrompt("file \"a.txt\" is in use", kCaption), button);
    presser.Join();
    EXPECT_TRUE(presser.pressed());
    EXPECT_FALSE(presser.owner_seen());
    EXPECT_EQ(presser.text(), "file \"a.txt\" is in use");
  }
}

}  // namespace
