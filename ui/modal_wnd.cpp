// The modal popup window: base handling, base paint and the modal loop.
#include "ui/modal_wnd.h"

#include "base/win/gdi_handles.h"
#include "ui/drawing_objects.h"

namespace {

constexpr int kBackgroundBitmapId = 103;

// True for `hwnd` itself and for windows whose parent, grandparent or great-grandparent it is.
bool IsSelfOrDescendant(HWND candidate, HWND hwnd) {
  for (int level = 0; level < 4 && candidate != nullptr; ++level) {
    if (candidate == hwnd) return true;
    candidate = GetParent(candidate);
  }
  return false;
}

}  // namespace

void PaintWindowBase(HDC dc, const RECT& client, const RECT& caption, HBITMAP background) {
  SetBkMode(dc, TRANSPARENT);
  {
    BrushHandle fill(CreateSolidBrush(kClientFillColour));
    FillRect(dc, &client, fill.get());
    BrushHandle border(CreateSolidBrush(kBorderColour));
    FrameRect(dc, &client, border.get());
    BrushHandle strip(CreateSolidBrush(kCaptionStripColour));
    FillRect(dc, &caption, strip.get());
  }
  if (background != nullptr) {
    MemoryDc picture(dc);
    SelectGuard select(picture.get(), background);
    BitBlt(dc, 0, 0, client.right - client.left, client.bottom - client.top, picture.get(), 0, 0,
           SRCCOPY);
  }
}

void DrawCloseGlyph(HDC dc, const RECT& glyph, COLORREF colour) {
  PenHandle pen(CreatePen(PS_SOLID, 1, colour));
  SelectGuard select(dc, pen.get());
  MoveToEx(dc, glyph.left, glyph.top, nullptr);
  LineTo(dc, glyph.right + 1, glyph.bottom + 1);
  MoveToEx(dc, glyph.left, glyph.bottom, nullptr);
  LineTo(dc, glyph.right + 1, glyph.top - 1);
}

TModalWnd::TModalWnd(HWND owner)
    : owner_(owner),
      background_(LoadBitmapW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(kBackgroundBitmapId))) {}

TModalWnd::~TModalWnd() = default;

void TModalWnd::DrawContent(TMemDC&) {}

void TModalWnd::Close() {
  running_ = false;
  if (hwnd_ != nullptr) DestroyWindow(hwnd_);
}

POINT TModalWnd::ClientCursor() const {
  POINT cursor = {};
  GetCursorPos(&cursor);
  ScreenToClient(hwnd_, &cursor);
  return cursor;
}

bool TModalWnd::CursorInCloseBox() const {
  return PtInRect(&close_box_, ClientCursor()) != FALSE;
}

LRESULT TModalWnd::WndProc(UINT message, WPARAM w_param, LPARAM l_param) {
  switch (message) {
    case WM_SIZE:
      GetClientRect(hwnd_, &caption_rect_);
      caption_rect_.bottom = kCaptionHeight;
      return 0;
    case WM_PAINT:
      BasePaint();
      return 0;
    case WM_MOUSEMOVE: {
      TRACKMOUSEEVENT track = {sizeof track, TME_LEAVE, hwnd_, 0};
      TrackMouseEvent(&track);
      close_hover_ = CursorInCloseBox();
      InvalidateRect(hwnd_, nullptr, /*bErase=*/FALSE);
      return 0;
    }
    case WM_LBUTTONDOWN:
      if (w_param == MK_LBUTTON && !CursorInCloseBox()) {
        PostMessageW(hwnd_, WM_NCLBUTTONDOWN, HTCAPTION, l_param);
      }
      return 0;
    case WM_LBUTTONUP:
      if (CursorInCloseBox()) {
        modal_result_ = 0;
        Close();
      }
      return 0;
    case WM_MOUSELEAVE:
      close_hover_ = false;
      InvalidateRect(hwnd_, nullptr, /*bErase=*/FALSE);
      return 0;
    case WM_DESTROY:
      // Destroyed by whatever route (Close, the system's default close, a parent going away):
      // the loop must not wait on for a window that is gone.
      running_ = false;
      return kNotHandled;
    default:
      return kNotHandled;
  }
}

void TModalWnd::BasePaint() {
  TMemDC back_buffer(hwnd_);
  HDC dc = back_buffer.Dc();
  const RECT& client = back_buffer.ClientRect();
  SelectGuard font(dc, BodyFont);
  PaintWindowBase(dc, client, caption_rect_, background_.get());

  close_box_ = {client.right - 20, 10, client.right - 10, 20};
  DrawCloseGlyph(dc, close_box_, close_hover_ ? kLightTextColour : kCloseGlyphColour);
  InflateRect(&close_box_, 1, 1);

  SetTextColor(dc, kLightTextColour);
  RECT caption = caption_rect_;
  DrawTextW(dc, title_.c_str(), -1, &caption, DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
  DrawContent(back_buffer);
}

bool TModalWnd::RunModal(bool shown) {
  CreateIxWindow(this, L"TModalWnd", owner_, WS_POPUP | WS_CLIPCHILDREN, WS_EX_TOPMOST);
  if (hwnd_ == nullptr) return modal_result_ != 0;
  // With no owner this sets no brush.
  SetClassLongPtrW(hwnd_, GCLP_HBRBACKGROUND,
                   owner_ != nullptr ? GetClassLongPtrW(owner_, GCLP_HBRBACKGROUND) : 0);
  OnCreate();
  running_ = true;
  if (shown) {
    ShowWindow(hwnd_, SW_SHOWNA);
    CenterWindow();
  }

  MSG msg = {};
  while (running_ && hwnd_ != nullptr) {
    if (GetMessageW(&msg, nullptr, 0, 0) <= 0) break;  // WM_QUIT, or no queue left
    if (msg.message == WM_SYSCOMMAND && (msg.wParam & 0xFFF0) == SC_CLOSE && msg.lParam == 0) {
      modal_result_ = 0;
      Close();
      continue;
    }
    if (msg.message == WM_PAINT || msg.message >= WM_USER ||
        IsSelfOrDescendant(msg.hwnd, hwnd_)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
  return modal_result_ != 0;
}
