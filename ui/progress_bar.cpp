// The progress bar window.
#include "ui/progress_bar.h"

#include "base/win/gdi_handles.h"
#include "base/win/system_library.h"
#include "ui/drawing_objects.h"
#include "ui/mem_dc.h"

TProcess::TProcess(ProgressFill fill) {
  if (fill == ProgressFill::kGradientWhereOffered) {
    gradient_library_ = LoadSystemLibrary(L"msimg32.dll");
  }
  if (gradient_library_ != nullptr) {
    gradient_fill_ = reinterpret_cast<GradientFillFunction>(
        reinterpret_cast<void*>(GetProcAddress(gradient_library_, "GradientFill")));
  }
}

TProcess::~TProcess() {
  // The window (a child) normally went with its parent; the base destructor handles the rest.
  gradient_fill_ = nullptr;
  if (gradient_library_ != nullptr) FreeLibrary(gradient_library_);
}

void TProcess::Invalidate() {
  if (hwnd_ != nullptr) InvalidateRect(hwnd_, nullptr, /*bErase=*/FALSE);
}

LRESULT TProcess::WndProc(UINT message, WPARAM, LPARAM) {
  if (message != WM_PAINT) return kNotHandled;
  Paint();
  return 0;
}

void TProcess::MoveTo(int32_t position) {
  RECT client = {};
  if (hwnd_ != nullptr) GetClientRect(hwnd_, &client);
  const RECT before = FilledPart(client, position_, range_);
  position_ = position;
  const RECT after = FilledPart(client, position_, range_);
  if (!EqualRect(&before, &after)) Invalidate();
}

RECT TProcess::FilledPart(const RECT& client, int32_t position, int32_t range) {
  RECT fill = {};
  if (position <= 0 || range < position) return fill;
  fill = client;
  fill.right = client.left + static_cast<LONG>(static_cast<double>(client.right - client.left) *
                                               position / range);
  InflateRect(&fill, -1, -1);
  if (fill.right <= fill.left || fill.bottom <= fill.top) fill = {};
  return fill;
}

void TProcess::Paint() {
  TMemDC back_buffer(hwnd_);
  HDC dc = back_buffer.Dc();
  const RECT& client = back_buffer.ClientRect();
  PenHandle outline(CreatePen(PS_SOLID, 1, kProgressOutlineColour));
  {
    SelectGuard brush(dc, LightBrush);
    SelectGuard pen(dc, outline.get());
    Rectangle(dc, client.left, client.top, client.right, client.bottom);
  }

  RECT fill = FilledPart(client, position_, range_);
  if (IsRectEmpty(&fill)) return;
  if (gradient_fill_ != nullptr) {
    TRIVERTEX vertices[2] = {};
    vertices[0] = {fill.left, fill.top, 0xE400, 0x5100, 0x4700, 0x00FF};
    vertices[1] = {fill.right, fill.bottom, 0xA400, 0x2100, 0x1900, 0x00FF};
    GRADIENT_RECT mesh = {0, 1};
    gradient_fill_(dc, vertices, 2, &mesh, 1, GRADIENT_FILL_RECT_H);
  } else {
    ::FillRect(dc, &fill, GreyBrush);
  }
}
