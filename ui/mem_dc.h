// Back buffer for one WM_PAINT: everything is drawn into a memory bitmap of the client size and
// copied to the window in one go when the object goes out of scope, so nothing flickers.
#pragma once

#include <windows.h>

#include "base/win/gdi_handles.h"

class TMemDC {
 public:
  // Begins painting `hwnd` (BeginPaint); the paint context gets a transparent text background.
  explicit TMemDC(HWND hwnd);
  // Copies the buffer to the window at (0, 0) with the current client size and ends painting.
  virtual ~TMemDC();
  TMemDC(const TMemDC&) = delete;
  TMemDC& operator=(const TMemDC&) = delete;

  HDC Dc() const { return memory_dc_.get(); }
  // The client rectangle when painting began.
  const RECT& ClientRect() const { return client_; }

 private:
  // Made in this order and undone in the reverse one: the bitmap is selected out of the memory
  // DC before either is deleted, and painting ends last.
  HWND hwnd_;
  PaintDc paint_dc_;
  RECT client_;
  BitmapHandle bitmap_;
  MemoryDc memory_dc_;
  SelectGuard bitmap_selection_;
};
