// Test support: reading pixels back from windows and bitmaps, reference drawings, screenshots.
#include "ui/testing/test_capture.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "base/win/gdi_handles.h"
#include "ui/testing/test_png.h"

namespace {

// A top-down 32-bit DIB section holding a copy of `image` (or blank of the given size).
struct DibCanvas {
  DibCanvas(int width, int height) : dc(nullptr) {
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    bitmap.reset(CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0));
    image.width = width;
    image.height = height;
    select = std::make_unique<SelectGuard>(dc.get(), bitmap.get());
  }
  explicit DibCanvas(const Image& base) : DibCanvas(base.width, base.height) {
    std::memcpy(bits, base.pixels.data(), base.pixels.size() * sizeof(uint32_t));
  }
  Image Read() {
    GdiFlush();
    image.pixels.assign(static_cast<const uint32_t*>(bits),
                        static_cast<const uint32_t*>(bits) + image.width * image.height);
    for (uint32_t& pixel : image.pixels) pixel &= 0xFFFFFF;
    return image;
  }

  MemoryDc dc;
  BitmapHandle bitmap;
  void* bits = nullptr;
  Image image;
  std::unique_ptr<SelectGuard> select;
};

std::string WindowsPath(const std::string& path) {
  std::string result = !path.empty() && path[0] == '/' ? "Z:" + path : path;
  for (char& c : result) {
    if (c == '/') c = '\\';
  }
  return result;
}

}  // namespace

void UsePrivateDesktop() {
  static const HDESK desktop = [] {
    const std::wstring name = L"qb-ui-test-" + std::to_wstring(GetCurrentProcessId());
    HDESK created = CreateDesktopW(name.c_str(), nullptr, nullptr, 0, GENERIC_ALL, nullptr);
    if (created != nullptr) SetThreadDesktop(created);
    return created;
  }();
  (void)desktop;
}

COLORREF Image::At(int x, int y) const {
  const uint32_t pixel = pixels[static_cast<size_t>(y) * width + x];
  return RGB((pixel >> 16) & 0xFF, (pixel >> 8) & 0xFF, pixel & 0xFF);
}

Image CaptureWindow(HWND hwnd) {
  RedrawWindow(hwnd, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
  RECT client = {};
  GetClientRect(hwnd, &client);
  DibCanvas canvas(client.right, client.bottom);
  HDC window_dc = GetDC(hwnd);
  BitBlt(canvas.dc.get(), 0, 0, client.right, client.bottom, window_dc, 0, 0, SRCCOPY);
  ReleaseDC(hwnd, window_dc);
  return canvas.Read();
}

Image ReadBitmap(HBITMAP bitmap) {
  BITMAP info = {};
  GetObjectW(bitmap, sizeof info, &info);
  DibCanvas canvas(info.bmWidth, info.bmHeight);
  MemoryDc source(nullptr);
  SelectGuard select(source.get(), bitmap);
  BitBlt(canvas.dc.get(), 0, 0, info.bmWidth, info.bmHeight, source.get(), 0, 0, SRCCOPY);
  return canvas.Read();
}

Image DrawTextOver(const Image& base, HFONT font, COLORREF colour, RECT rect,
                   const std::wstring& text, UINT format) {
  DibCanvas canvas(base);
  SelectGuard select(canvas.dc.get(), font);
  SetBkMode(canvas.dc.get(), TRANSPARENT);
  SetTextColor(canvas.dc.get(), colour);
  DrawTextW(canvas.dc.get(), text.c_str(), -1, &rect, format);
  return canvas.Read();
}

Image FrameOver(const Image& base, RECT rect, COLORREF colour) {
  DibCanvas canvas(base);
  BrushHandle brush(CreateSolidBrush(colour));
  FrameRect(canvas.dc.get(), &rect, brush.get());
  return canvas.Read();
}

int CountDifferences(const Image& a, const Image& b, RECT region) {
  int differences = 0;
  for (int y = region.top; y < region.bottom; ++y) {
    for (int x = region.left; x < region.right; ++x) {
      if (!a.Contains(x, y) || !b.Contains(x, y) || a.At(x, y) != b.At(x, y)) ++differences;
    }
  }
  return differences;
}

bool SavePng(const Image& image, const std::string& path) {
  const std::string file = WindowsPath(path);
  const size_t slash = file.find_last_of('\\');
  if (slash != std::string::npos) {
    // Every folder along the way, ignoring those that exist.
    for (size_t at = file.find('\\'); at != std::string::npos && at <= slash;
         at = file.find('\\', at + 1)) {
      CreateDirectoryA(file.substr(0, at).c_str(), nullptr);
    }
  }
  std::vector<uint8_t> rgb;
  rgb.reserve(image.pixels.size() * 3);
  for (uint32_t pixel : image.pixels) {
    rgb.push_back(static_cast<uint8_t>(pixel >> 16));
    rgb.push_back(static_cast<uint8_t>(pixel >> 8));
    rgb.push_back(static_cast<uint8_t>(pixel));
  }
  const std::vector<uint8_t> png = EncodePng(image.width, image.height, rgb);
  FILE* out = std::fopen(file.c_str(), "wb");
  if (out == nullptr) return false;
  const bool written = std::fwrite(png.data(), 1, png.size(), out) == png.size();
  return std::fclose(out) == 0 && written;
}

std::string ScreenshotDir() {
  const char* dir = std::getenv("QB_SCREENSHOT_DIR");
  return dir != nullptr && *dir != '\0' ? dir : "screenshots";
}
