// Choosing the display under the cursor and centring the installer window on it.
#include "ui/display_monitor.h"

#include <gtest/gtest.h>

namespace {

constexpr RECT kNoScreen = {0, 0, 0, 0};

bool SameRect(const RECT& a, const RECT& b) {
  return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

TEST(PickCursorMonitor, FindsTheDisplayUnderTheCursorOrFallsBackToThePrimary) {
  // A second display to the left of the primary one, and a third one above it.
  const std::vector<DisplayMode> displays = {
      {0, 0, 1920, 1080, 96}, {-1280, 100, 1280, 1024, 96}, {0, -768, 1024, 768, 96}};
  EXPECT_TRUE(SameRect(PickCursorMonitor({-1, 600}, displays, kNoScreen), {-1280, 100, 0, 1124}));
  EXPECT_TRUE(SameRect(PickCursorMonitor({1919, 1079}, displays, kNoScreen), {0, 0, 1920, 1080}));
  EXPECT_TRUE(SameRect(PickCursorMonitor({10, -1}, displays, kNoScreen), {0, -768, 1024, -0}));
  // Right and bottom edges belong to the next display: nobody has (1920, 5), so the primary.
  EXPECT_TRUE(SameRect(PickCursorMonitor({1920, 5}, displays, kNoScreen), {0, 0, 1920, 1080}));
  EXPECT_TRUE(SameRect(PickCursorMonitor({-1280, 99}, displays, kNoScreen), {0, 0, 1920, 1080}));
}

TEST(PickCursorMonitor, ScalesDisplaysAbove96DpiAndUsesTheFallbackWithoutPrimary) {
  // 144 dpi: everything times 96 / 144.
  const std::vector<DisplayMode> scaled = {{0, 0, 2880, 1620, 144}, {-2880, -30, 2880, 1620, 144}};
  EXPECT_TRUE(SameRect(PickCursorMonitor({-100, 0}, scaled, kNoScreen), {-1920, -20, 0, 1060}));
  EXPECT_TRUE(SameRect(PickCursorMonitor({1919, 0}, scaled, kNoScreen), {0, 0, 1920, 1080}));
  EXPECT_TRUE(SameRect(PickCursorMonitor({1920, 0}, scaled, kNoScreen), {0, 0, 1920, 1080}));

  const RECT screen = {0, 0, 800, 600};
  EXPECT_TRUE(SameRect(PickCursorMonitor({5, 5}, {}, screen), screen));
  EXPECT_TRUE(SameRect(PickCursorMonitor({5000, 5}, {{100, 0, 640, 480, 96}}, screen), screen));
}

TEST(CenteredOrigin, CentresOnTheDisplayHorizontallyAndOnThePrimaryScreenVertically) {
  const SIZE window = {463, 320};
  POINT origin = CenteredOrigin({0, 0, 1920, 1080}, 1080, window);
  EXPECT_EQ(origin.x, 728);
  EXPECT_EQ(origin.y, 380);
  // Left of the primary display: x on that display, y by the primary screen's height.
  origin = CenteredOrigin({-1280, 100, 0, 1124}, 768, window);
  EXPECT_EQ(origin.x, -1280 + 408);
  EXPECT_EQ(origin.y, 224);
  // Narrower than the window: (462 - 463) / 2 truncates toward zero.
  origin = CenteredOrigin({0, 0, 462, 300}, 300, window);
  EXPECT_EQ(origin.x, 0);
  EXPECT_EQ(origin.y, -10);
}

TEST(FindCursorMonitor, ReturnsTheDisplayThatHoldsTheCursor) {
  const RECT display = FindCursorMonitor();
  POINT cursor = {};
  GetCursorPos(&cursor);
  EXPECT_GT(display.right - display.left, 0);
  EXPECT_GT(display.bottom - display.top, 0);
  EXPECT_TRUE(PtInRect(&display, cursor));
}

}  // namespace
