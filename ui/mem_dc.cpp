// Double-buffered painting.
#include "ui/mem_dc.h"

TMemDC::TMemDC(HWND hwnd) : hwnd_(hwnd) {
  paint_dc_ = BeginPaint(hwnd_, &paint_);
  SetBkMode(paint_dc_, TRANSPARENT);
  GetClientRect(hwnd_, &client_);
  memory_dc_ = CreateCompatibleDC(paint_dc_);
  bitmap_ = CreateCompatibleBitmap(paint_dc_, client_.right - client_.left,
                                   client_.bottom - client_.top);
  previous_bitmap_ = SelectObject(memory_dc_, bitmap_);
}

TMemDC::~TMemDC() {
  RECT client = {};
  GetClientRect(hwnd_, &client);
  BitBlt(paint_dc_, 0, 0, client.right - client.left, client.bottom - client.top, memory_dc_, 0,
         0, SRCCOPY);
  SelectObject(memory_dc_, previous_bitmap_);
  DeleteDC(memory_dc_);
  DeleteObject(bitmap_);
  EndPaint(hwnd_, &paint_);
}
