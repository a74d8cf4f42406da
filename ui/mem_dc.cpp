// Double-buffered painting.
#include "ui/mem_dc.h"

namespace {

RECT ClientRectOf(HWND hwnd) {
  RECT client = {};
  GetClientRect(hwnd, &client);
  return client;
}

}  // namespace

TMemDC::TMemDC(HWND hwnd)
    : hwnd_(hwnd),
      paint_dc_(hwnd),
      client_(ClientRectOf(hwnd)),
      bitmap_(CreateCompatibleBitmap(paint_dc_.get(), client_.right - client_.left,
                                     client_.bottom - client_.top)),
      memory_dc_(paint_dc_.get()),
      bitmap_selection_(memory_dc_.get(), bitmap_.get()) {
  SetBkMode(paint_dc_.get(), TRANSPARENT);
}

TMemDC::~TMemDC() {
  const RECT client = ClientRectOf(hwnd_);
  BitBlt(paint_dc_.get(), 0, 0, client.right - client.left, client.bottom - client.top,
         memory_dc_.get(), 0, 0, SRCCOPY);
}
