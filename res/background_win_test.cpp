// The background picture (bitmap 103): its format, and that the window's light grey texts stay
// readable on every pixel of it.
#include <windows.h>

#include <algorithm>
#include <cmath>

#include <gtest/gtest.h>

#include "ui/testing/test_capture.h"

namespace {

double Channel(int value) {
  const double c = value / 255.0;
  return c <= 0.03928 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

double Luminance(int r, int g, int b) {
  return 0.2126 * Channel(r) + 0.7152 * Channel(g) + 0.0722 * Channel(b);
}

double Luminance(COLORREF colour) {
  return Luminance(GetRValue(colour), GetGValue(colour), GetBValue(colour));
}

bool IsBlueFirst(COLORREF colour) {
  return GetBValue(colour) >= GetRValue(colour) && GetBValue(colour) >= GetGValue(colour);
}

TEST(BackgroundPicture, Is467By320With24BitsPerPixel) {
  HANDLE image = LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(103), IMAGE_BITMAP, 0, 0,
                            LR_CREATEDIBSECTION);
  ASSERT_NE(image, nullptr);
  DIBSECTION section = {};
  ASSERT_EQ(GetObjectW(image, sizeof section, &section), static_cast<int>(sizeof section));
  EXPECT_EQ(section.dsBmih.biWidth, 467);
  EXPECT_EQ(std::abs(section.dsBmih.biHeight), 320);
  EXPECT_EQ(section.dsBmih.biBitCount, 24);
  DeleteObject(image);
}

TEST(BackgroundPicture, IsADarkBlueGradientUnderReadableText) {
  HBITMAP bitmap = LoadBitmapW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(103));
  ASSERT_NE(bitmap, nullptr);
  const Image p = ReadBitmap(bitmap);
  DeleteObject(bitmap);
  ASSERT_EQ(p.width, 467);
  ASSERT_EQ(p.height, 320);

  const double text = Luminance(0xE7, 0xE7, 0xE7);
  double worst_contrast = 100;
  int not_blue = 0;
  for (int y = 0; y < p.height; ++y) {
    for (int x = 0; x < p.width; ++x) {
      const double contrast = (text + 0.05) / (Luminance(p.At(x, y)) + 0.05);
      worst_contrast = std::min(worst_contrast, contrast);
      if (!IsBlueFirst(p.At(x, y))) ++not_blue;
    }
  }
  // At least the usual minimum for normal text, on every single pixel.
  EXPECT_GE(worst_contrast, 4.5);
  EXPECT_EQ(not_blue, 0);
  // A gradient, not a flat fill: lighter blue at the top left than the navy at the bottom right.
  EXPECT_GT(GetBValue(p.At(5, 5)), GetBValue(p.At(460, 314)) + 30);
}

}  // namespace
