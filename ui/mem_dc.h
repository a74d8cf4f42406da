// Back buffer for one WM_PAINT: everything is drawn into a memory bitmap of the client size and
// copied to the window in one go when the object goes out of scope, so nothing flickers.
#pragma once

#include <windows.h>

class TMemDC {
 public:
  // Begins painting `hwnd` (BeginPaint); the paint context gets a transparent text background.
  explicit TMemDC(HWND hwnd);
  // Copies the buffer to the window at (0, 0) with the current client size and ends painting.
  virtual ~TMemDC();
  TMemDC(const TMemDC&) = delete;
  TMemDC& operator=(const TMemDC&) = delete;

  HDC Dc() const { return memory_dc_; }
  // The client rectangle when painting began.
  const RECT& ClientRect() const { return client_; }

 private:
  HDC memory_dc_ = nullptr;
  HDC paint_dc_ = nullptr;
  HBITMAP bitmap_ = nullptr;
  HWND hwnd_ = nullptr;
  PAINTSTRUCT paint_ = {};
  HGDIOBJ previous_bitmap_ = nullptr;
  RECT client_ = {};
};
