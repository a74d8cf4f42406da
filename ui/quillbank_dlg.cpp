// The installer window's behaviour: layout, state, mouse handling and the hooks into the
// install logic. Its painting is in quillbank_dlg_paint.cpp.
#include "ui/quillbank_dlg.h"

#include <cstdio>
#include <utility>

#include "core/install_context.h"
#include "core/message_text.h"
#include "ui/display_monitor.h"
#include "ui/wide_text.h"

namespace {

constexpr int kStatusTextCapacity = 260;
// "岚舟": the window text the system shows (task bar), in every language.
constexpr wchar_t kWindowText[] = L"\u5C9A\u821F";

}  // namespace

int DownloadPercentage(int32_t files_done, int32_t files_total) {
  const double percentage = files_done / (files_total + 0.0001) * 100;
  // More files reported than requested, or negative counters, must not draw nonsense (or
  // overflow the conversion): the percentage stays in 0..99.
  if (!(percentage > 0)) return 0;
  if (percentage >= 99) return 99;
  return static_cast<int>(percentage);
}

TQuillbankDlg::TQuillbankDlg(TDlgController* controller, InstallContext context)
    : controller_(controller), context_(std::move(context)) {}

TQuillbankDlg::~TQuillbankDlg() {
  progress_bar_.reset();
  if (controller_ != nullptr) controller_->OnDestroy(*this);
}

void TQuillbankDlg::OnCreate() {
  progress_bar_ = std::make_unique<TProcess>();
  CreateIxWindow(progress_bar_.get(), L"TProcess", hwnd_,
                 WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN, /*ex_style=*/0);
  if (HWND bar = progress_bar_->Handle()) {
    MoveWindow(bar, kProgressBarRect.left, kProgressBarRect.top,
               kProgressBarRect.right - kProgressBarRect.left,
               kProgressBarRect.bottom - kProgressBarRect.top, /*bRepaint=*/FALSE);
  }
  ShowProgressBarForState();
  if (controller_ != nullptr) controller_->OnCreate(*this);
  SetWindowTextW(hwnd_, kWindowText);
}

void TQuillbankDlg::CenterWindow() {
  const RECT display = FindCursorMonitor();
  const POINT origin =
      CenteredOrigin(display, GetSystemMetrics(SM_CYSCREEN), {kDlgWidth, kDlgHeight});
  MoveWindow(hwnd_, origin.x, origin.y, kDlgWidth, kDlgHeight, /*bRepaint=*/TRUE);
}

void TQuillbankDlg::Close() {
  if (controller_ != nullptr) controller_->OnClose(*this);
  TModalWnd::Close();
}

LRESULT TQuillbankDlg::WndProc(UINT message, WPARAM w_param, LPARAM l_param) {
  switch (message) {
    case WM_SIZE:
      OnSize();
      return 0;
    case WM_PAINT:
      Paint();
      return 0;
    case WM_MOUSEMOVE:
      TrackButtonHover();
      return 0;
    case WM_LBUTTONDOWN:
    // The class takes double clicks: a press soon after another at the same place comes as
    // this instead ("Open" right after "Install" when an update is quick, or a hurried second
    // press), and is a press all the same.
    case WM_LBUTTONDBLCLK:
      OnLButtonDown(w_param, l_param);
      return 0;
    case WM_LBUTTONUP:
      if (CloseBoxShown() && CursorInCloseBox()) Close();
      return 0;
    case WM_CLOSE:
      // Asked to close (by an unattended install at its end, or by another program): as the
      // close box, where it is offered.
      if (CloseBoxShown()) Close();
      return 0;
    case WM_TIMER:
      if (controller_ != nullptr) controller_->OnTimer(*this, static_cast<UINT_PTR>(w_param));
      return 0;
    case WM_MOUSELEAVE:
      button_hover_ = false;
      InvalidateRect(hwnd_, nullptr, /*bErase=*/FALSE);
      return 0;
    case WM_DESTROY:
      // Messages posted from now on must find no window rather than a reused handle.
      if (controller_ != nullptr) controller_->OnWindowDestroyed(*this);
      break;
    default:
      break;
  }
  if (message >= WM_USER && controller_ != nullptr &&
      controller_->OnMessage(*this, message, w_param, l_param)) {
    return 0;
  }
  return TModalWnd::WndProc(message, w_param, l_param);
}

void TQuillbankDlg::OnSize() {
  RECT client = {};
  GetClientRect(hwnd_, &client);
  caption_rect_ = client;
  caption_rect_.bottom = kCaptionHeight;
  button_rect_ = {client.left + 198, client.bottom - 80, client.left + 262, client.bottom - 55};
  status_rect_ = {client.right - 270, client.bottom - 30, client.right - 10, client.bottom - 5};
}

void TQuillbankDlg::TrackButtonHover() {
  button_hover_ = false;
  TRACKMOUSEEVENT track = {sizeof track, TME_LEAVE, hwnd_, 0};
  TrackMouseEvent(&track);
  const POINT cursor = ClientCursor();
  button_hover_ = PtInRect(&button_rect_, cursor) != FALSE;
  InvalidateRect(hwnd_, nullptr, /*bErase=*/FALSE);
}

void TQuillbankDlg::OnLButtonDown(WPARAM w_param, LPARAM l_param) {
  const POINT cursor = ClientCursor();
  if (PtInRect(&button_rect_, cursor)) {
    if (state_ == WindowState::Ready) {
      if (controller_ != nullptr) controller_->OnButtonClick(*this);
    } else if (state_ == WindowState::Installed) {
      ShowWindow(hwnd_, SW_HIDE);
      if (controller_ != nullptr) controller_->OnOpen(*this);
      Close();
    }
    return;
  }
  // Dragging by any point: the system moves the window as if the caption had been pressed.
  if (w_param == MK_LBUTTON && !PtInRect(&close_box_, cursor)) {
    PostMessageW(hwnd_, WM_NCLBUTTONDOWN, HTCAPTION, l_param);
  }
}

bool TQuillbankDlg::CloseBoxShown() const {
  if (state_ != WindowState::Installing) return true;
  return !finishing_ && controller_ != nullptr && controller_->CloseBoxWhileInstalling();
}

void TQuillbankDlg::ShowProgressBarForState() {
  if (progress_bar_ == nullptr || progress_bar_->Handle() == nullptr) return;
  ShowWindow(progress_bar_->Handle(), state_ == WindowState::Installing ? SW_SHOWNA : SW_HIDE);
}

void TQuillbankDlg::SetState(WindowState state) {
  state_ = state;
  if (finishing_ && progress_bar_ != nullptr) {
    progress_bar_->SetPosition(files_done_);
    progress_bar_->Invalidate();
  }
  finishing_ = false;
  ShowProgressBarForState();
  if (hwnd_ != nullptr) InvalidateRect(hwnd_, nullptr, /*bErase=*/FALSE);
}

void TQuillbankDlg::SetFilesDone(int32_t files_done) {
  files_done_ = files_done;
  if (progress_bar_ != nullptr) {
    progress_bar_->SetPosition(files_done);
    progress_bar_->Invalidate();
  }
}

void TQuillbankDlg::SetFilesTotal(int32_t files_total) {
  files_total_ = files_total;
  if (progress_bar_ != nullptr) {
    progress_bar_->SetRange(files_total);
    progress_bar_->Invalidate();
  }
}

void TQuillbankDlg::StepProgress(int32_t files) {
  if (state_ != WindowState::Installing || finishing_) {
    SetFilesDone(files_done_ + files);
    SetState(WindowState::Installing);
    return;
  }
  // One step per file, thousands per install, each a repaint of the whole window before: now
  // only what the step changes is painted again, the bar when its fill grows and the percentage
  // when it changes.
  const int shown = DownloadPercentage(files_done_, files_total_);
  files_done_ += files;
  if (progress_bar_ != nullptr) progress_bar_->MoveTo(files_done_);
  if (hwnd_ != nullptr && DownloadPercentage(files_done_, files_total_) != shown) {
    InvalidateRect(hwnd_, &status_rect_, /*bErase=*/FALSE);
  }
}

void TQuillbankDlg::RepaintNow() {
  if (hwnd_ == nullptr) return;
  InvalidateRect(hwnd_, nullptr, /*bErase=*/FALSE);
  UpdateWindow(hwnd_);
}

void TQuillbankDlg::SetStatusText(const wchar_t* text) {
  status_text_ = text != nullptr ? text : L"";
  RepaintNow();
}

void TQuillbankDlg::ShowFailure(const char* gbk_text) {
  SetState(WindowState::Failed);
  SetStatusText(GbkToWide(gbk_text, kStatusTextCapacity).c_str());
}

void TQuillbankDlg::ShowFailureWithCode(int32_t code) {
  char text[100] = {};
  std::snprintf(text, sizeof text, "%s,%s%d", GetMessageText(context_.LanguageId, kTextInstallFail),
                GetMessageText(context_.LanguageId, kTextErrorCode), static_cast<int>(code));
  ShowFailure(text);
}

void TQuillbankDlg::ShowReconnecting(bool on) {
  if (reconnecting_ == on) return;
  reconnecting_ = on;
  RepaintNow();
}

void TQuillbankDlg::ShowInstallFinishing() {
  SetState(WindowState::Installing);
  finishing_ = true;
  if (progress_bar_ != nullptr) {
    progress_bar_->SetPosition(progress_bar_->Range());  // a full bar beside "100%"
    progress_bar_->Invalidate();
  }
  RepaintNow();
  if (progress_bar_ != nullptr && progress_bar_->Handle() != nullptr) {
    UpdateWindow(progress_bar_->Handle());
  }
}
