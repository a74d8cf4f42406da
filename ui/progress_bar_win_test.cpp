// The progress bar: outline and light background always, a left-to-right fill for position of
// range (gradient red, or grey without gradient support), nothing filled for positions out of range.
#include "ui/progress_bar.h"

#include <cstdlib>
#include <memory>

#include <gtest/gtest.h>

#include "ui/drawing_objects.h"
#include "ui/testing/test_capture.h"

namespace {

constexpr int kWidth = 403;
constexpr int kHeight = 12;

class Host : public TIxFrm {
 public:
  LRESULT WndProc(UINT message, WPARAM, LPARAM) override {
    if (message != WM_PAINT) return kNotHandled;
    PAINTSTRUCT paint;
    BeginPaint(hwnd_, &paint);
    EndPaint(hwnd_, &paint);
    return 0;
  }
};

bool Near(COLORREF actual, int r, int g, int b, int tolerance) {
  return std::abs(GetRValue(actual) - r) <= tolerance && std::abs(GetGValue(actual) - g) <= tolerance &&
         std::abs(GetBValue(actual) - b) <= tolerance;
}

class ProgressBar : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    UsePrivateDesktop();
    CreateDrawingObjects();
  }
  static void TearDownTestSuite() { DeleteDrawingObjects(); }

  void SetUp() override {
    CreateIxWindow(&host_, L"QbProgressHost", nullptr, WS_POPUP | WS_CLIPCHILDREN, WS_EX_TOPMOST);
    MoveWindow(host_.Handle(), 50, 50, kWidth + 20, kHeight + 20, FALSE);
    ShowWindow(host_.Handle(), SW_SHOWNA);
    MakeBar(ProgressFill::kGradientWhereOffered);
  }

  // The bar in the host, filling as `fill` says; replaces the one there was.
  void MakeBar(ProgressFill fill) {
    bar_ = std::make_unique<TProcess>(fill);
    CreateIxWindow(bar_.get(), L"TProcess", host_.Handle(), WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN,
                   0);
    MoveWindow(bar_->Handle(), 10, 10, kWidth, kHeight, FALSE);
  }

  Image Show(int32_t position, int32_t range) {
    bar_->SetRange(range);
    bar_->SetPosition(position);
    bar_->Invalidate();
    return CaptureWindow(bar_->Handle());
  }

  // Every pixel inside the outline is the light background.
  static int FilledPixels(const Image& image) {
    int filled = 0;
    for (int y = 1; y < kHeight - 1; ++y) {
      for (int x = 1; x < kWidth - 1; ++x) {
        if (image.At(x, y) != 0xE7E7E7u) ++filled;
      }
    }
    return filled;
  }

  Host host_;
  std::unique_ptr<TProcess> bar_;
};

TEST_F(ProgressBar, StartsEmptyAndOutlined) {
  EXPECT_EQ(bar_->Range(), 0);
  EXPECT_EQ(bar_->Position(), -1);
  EXPECT_TRUE(bar_->HasGradient());
  const Image image = CaptureWindow(bar_->Handle());
  ASSERT_EQ(image.width, kWidth);
  ASSERT_EQ(image.height, kHeight);
  for (POINT p : {POINT{0, 0}, POINT{kWidth - 1, 0}, POINT{0, kHeight - 1}, POINT{200, kHeight - 1}}) {
    EXPECT_EQ(image.At(p.x, p.y), 0x969696u) << p.x << "," << p.y;
  }
  EXPECT_EQ(FilledPixels(image), 0);
}

TEST_F(ProgressBar, FillsWithARedGradientInProportion) {
  // 403 x 3 / 4 = 302.25: the fill covers x 1 to 300 after shrinking by one pixel.
  const Image image = Show(3, 4);
  EXPECT_TRUE(Near(image.At(1, 1), 228, 81, 71, 0));
  EXPECT_TRUE(Near(image.At(300, 10), 164, 33, 25, 3));
  EXPECT_EQ(image.At(301, 5), 0xE7E7E7u);
  EXPECT_EQ(image.At(0, 5), 0x969696u);
  EXPECT_EQ(FilledPixels(image), 300 * 10);
  for (int x = 2; x <= 300; ++x) {
    EXPECT_LE(GetRValue(image.At(x, 5)), GetRValue(image.At(x - 1, 5))) << x;
  }

  const Image full = Show(4, 4);
  EXPECT_EQ(FilledPixels(full), (kWidth - 2) * (kHeight - 2));
}

TEST_F(ProgressBar, FillsGreyWithoutGradientSupport) {
  MakeBar(ProgressFill::kGrey);
  EXPECT_FALSE(bar_->HasGradient());
  // 403 / 2 = 201.5: the fill covers x 1 to 199.
  const Image image = Show(1, 2);
  EXPECT_EQ(image.At(1, 1), 0x969696u);
  EXPECT_EQ(image.At(199, 10), 0x969696u);
  EXPECT_EQ(image.At(200, 5), 0xE7E7E7u);
  EXPECT_EQ(FilledPixels(image), 199 * 10);
}

TEST_F(ProgressBar, DrawsOnlyTheEmptyBarForPositionsOutOfRange) {
  EXPECT_EQ(FilledPixels(Show(0, 4)), 0);
  EXPECT_EQ(FilledPixels(Show(-1, 4)), 0);
  EXPECT_EQ(FilledPixels(Show(5, 4)), 0);
  EXPECT_EQ(FilledPixels(Show(1, 0)), 0);
  EXPECT_EQ(FilledPixels(Show(1, -3)), 0);
}

TEST(ProgressFill, TruncatesAndShrinksAndNeverInverts) {
  const RECT client = {0, 0, kWidth, kHeight};
  RECT fill = TProcess::FilledPart(client, 1, 3);  // 134.33 -> 134, shrunk to 133
  EXPECT_EQ(fill.left, 1);
  EXPECT_EQ(fill.top, 1);
  EXPECT_EQ(fill.right, 133);
  EXPECT_EQ(fill.bottom, kHeight - 1);
  EXPECT_TRUE(IsRectEmpty(&(fill = TProcess::FilledPart(client, 2, kWidth))));
  fill = TProcess::FilledPart(client, 3, kWidth);
  EXPECT_EQ(fill.right - fill.left, 1);
}

}  // namespace
