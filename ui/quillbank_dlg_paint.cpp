// The installer window's painting: picture, close glyph, product name, package number, and the
// button, percentage or failure text of the current state.
#include <cwchar>
#include <string>

#include "base/win/gdi_handles.h"
#include "core/install_context.h"
#include "core/message_text.h"
#include "ui/drawing_objects.h"
#include "ui/quillbank_dlg.h"
#include "ui/wide_text.h"

namespace {

constexpr int kNameCapacity = 1024;
constexpr int kCaptionCapacity = 260;

void DrawTextIn(HDC dc, const std::wstring& text, RECT rect, UINT format) {
  DrawTextW(dc, text.c_str(), -1, &rect, format);
}

}  // namespace

void TQuillbankDlg::Paint() {
  TMemDC back_buffer(hwnd_);
  HDC dc = back_buffer.Dc();
  const RECT& client = back_buffer.ClientRect();
  PaintWindowBase(dc, client, caption_rect_, background_.get());

  // Nothing to hit where nothing is drawn.
  close_box_ = {};
  if (CloseBoxShown()) {
    const int size = caption_button_size_;
    RECT glyph = {};
    glyph.left = client.right - (2 * size) / 3;
    glyph.top = size / 3;
    glyph.right = glyph.left + size / 3;
    glyph.bottom = 2 * (size / 3);
    DrawCloseGlyph(dc, glyph, kCloseGlyphColour);
    InflateRect(&glyph, 1, 1);
    close_box_ = glyph;
  }

  const InstallContext& context = context_;
  SelectGuard font(dc, TitleFont);
  SetTextColor(dc, kLightTextColour);
  DrawTextIn(dc, GbkToWide(context.ProductName.c_str(), kNameCapacity),
             {client.right - 225, 26, client.right - 25, 60},
             DT_RIGHT | DT_SINGLELINE | DT_NOPREFIX);

  SelectObject(dc, BodyFont);
  SIZE extent = {};
  GetTextExtentPoint32A(dc, context.PackageNumber.c_str(),
                        static_cast<int>(context.PackageNumber.size()), &extent);
  DrawTextIn(dc, GbkToWide(context.PackageNumber.c_str(), kNameCapacity),
             {0, status_rect_.top, extent.cx + 10, status_rect_.bottom},
             DT_BOTTOM | DT_RIGHT | DT_SINGLELINE | DT_NOPREFIX);

  DrawContent(back_buffer);
}

void TQuillbankDlg::DrawContent(TMemDC& back_buffer) {
  HDC dc = back_buffer.Dc();
  switch (state_) {
    case WindowState::Ready:
    case WindowState::Installed: {
      BrushHandle frame(
          CreateSolidBrush(button_hover_ ? kButtonFrameHoverColour : kButtonFrameColour));
      FrameRect(dc, &button_rect_, frame.get());
      const int entry = state_ == WindowState::Ready ? kTextInstall : kTextOpen;
      // The caption sinks one more pixel while the mouse is over the button.
      RECT caption = button_rect_;
      OffsetRect(&caption, 0, button_hover_ ? 2 : 1);
      DrawTextIn(dc, GbkToWide(GetMessageText(context_.LanguageId, entry), kCaptionCapacity), caption,
                 DT_CENTER | DT_BOTTOM | DT_NOPREFIX);
      break;
    }
    case WindowState::Installing: {
      if (reconnecting_ && !finishing_) {
        DrawTextIn(dc, GbkToWide(GetMessageText(context_.LanguageId, kTextReconnecting), kCaptionCapacity),
                   status_rect_, DT_RIGHT | DT_BOTTOM | DT_NOPREFIX);
        break;
      }
      wchar_t text[16] = {};
      std::swprintf(text, 16, L"%d%%",
                    finishing_ ? 100 : DownloadPercentage(files_done_, files_total_));
      DrawTextIn(dc, text, status_rect_, DT_RIGHT | DT_BOTTOM | DT_NOPREFIX);
      break;
    }
    case WindowState::Failed:
      DrawTextIn(dc, status_text_, status_rect_, DT_RIGHT | DT_BOTTOM);
      break;
  }
}
