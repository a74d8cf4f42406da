// Test support: what a window shows, read back as pixels; reference drawings to compare it with;
// screenshots saved as PNG files.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

// 32-bit pixels, top-down, 0x00RRGGBB as GDI stores them in memory.
struct Image {
  int width = 0;
  int height = 0;
  std::vector<uint32_t> pixels;

  // As a COLORREF (0x00BBGGRR), the way colours are written in the window code.
  COLORREF At(int x, int y) const;
  bool Contains(int x, int y) const { return x >= 0 && y >= 0 && x < width && y < height; }
};

// Moves the calling thread to a desktop of this process's own before it makes any window, so the
// tests draw on a desktop bound to their display whatever state the prefix's default desktop is
// in (e.g. started by a program that ran without a display). Idempotent.
void UsePrivateDesktop();

// Repaints `hwnd` and its children now and reads its client area back from the screen.
Image CaptureWindow(HWND hwnd);
// The pixels of a bitmap (e.g. the background picture).
Image ReadBitmap(HBITMAP bitmap);

// `base` with `text` drawn by DrawTextW into `rect` in `font` and `colour`, transparent background.
Image DrawTextOver(const Image& base, HFONT font, COLORREF colour, RECT rect, const std::wstring& text,
                   UINT format);
// `base` with a 1-pixel frame of `colour` around `rect`.
Image FrameOver(const Image& base, RECT rect, COLORREF colour);

// Number of pixels in `region` where the two images differ (both must cover the region).
int CountDifferences(const Image& a, const Image& b, RECT region);

// Writes `image` as a 24-bit PNG. A path starting with "/" is taken as a host path (drive Z: under
// Wine). Creates the folder. False when the file cannot be written.
bool SavePng(const Image& image, const std::string& path);
// The folder for screenshots: $QB_SCREENSHOT_DIR, else "screenshots" in the working folder.
std::string ScreenshotDir();
