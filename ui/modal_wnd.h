// A borderless popup with a painted caption strip and close box, dragging by any point, and its
// own modal message loop that keeps the thread's other windows deaf to input while it runs.
#pragma once

#include <windows.h>

#include <string>

#include "base/win/gdi_handles.h"
#include "ui/ix_frm.h"
#include "ui/mem_dc.h"

class TModalWnd : public TIxFrm {
 public:
  // Loads the background picture (bitmap 103 of the program). `owner` becomes the popup's parent.
  explicit TModalWnd(HWND owner = nullptr);
  ~TModalWnd() override;

  // Base handling: WM_SIZE, WM_PAINT, WM_MOUSEMOVE, WM_LBUTTONDOWN, WM_LBUTTONUP,
  // WM_MOUSELEAVE, and WM_DESTROY, which ends the modal loop however the window was destroyed.
  LRESULT WndProc(UINT message, WPARAM w_param, LPARAM l_param) override;
  // Called once, right after the window exists and before it is shown.
  virtual void OnCreate() = 0;
  // Moves the window to its place and size.
  virtual void CenterWindow() = 0;
  // The window's own content, drawn last into the back buffer.
  virtual void DrawContent(TMemDC& back_buffer);
  // Ends the modal loop and destroys the window.
  virtual void Close();

  // Creates, shows and centres the window and runs the modal loop until it ends. True when the
  // modal result is not 0 (the close box and the system close command set 0). Not `shown`, the
  // window is never on screen (an install with nobody at the screen), and works all the same.
  bool RunModal(bool shown = true);

  int ModalResult() const { return modal_result_; }
  bool Running() const { return running_; }

 protected:
  // The base paint: fill, border, caption strip, picture, close glyph, title, DrawContent.
  void BasePaint();
  bool CursorInCloseBox() const;
  // The cursor position now, relative to the client area.
  POINT ClientCursor() const;

  std::wstring title_;
  HWND owner_ = nullptr;
  BitmapHandle background_;
  RECT caption_rect_ = {};
  RECT close_box_ = {};
  bool close_hover_ = false;
  int modal_result_ = 1;
  bool running_ = false;
  int caption_button_size_ = 25;
};

// The colours of the window frame under the picture, shared with the installer window.
constexpr COLORREF kClientFillColour = 0xFFFFFF;
constexpr COLORREF kBorderColour = 0x464646;
constexpr COLORREF kCaptionStripColour = 0x2D42DA;
constexpr COLORREF kCloseGlyphColour = 0x969696;
constexpr COLORREF kLightTextColour = 0xE7E7E7;
constexpr int kCaptionHeight = 30;

// Fill, 1-pixel border and caption strip under the picture, then the picture at (0, 0) with the
// client size. Used by every paint of a modal window.
void PaintWindowBase(HDC dc, const RECT& client, const RECT& caption, HBITMAP background);
// The close glyph's two diagonals from (left, top) and (left, bottom), one pixel past the right.
void DrawCloseGlyph(HDC dc, const RECT& glyph, COLORREF colour);
