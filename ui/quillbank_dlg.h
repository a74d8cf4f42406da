// The installer window: a 463 x 320 borderless popup over the background picture with the product
// name, the package number, a close glyph and, by state, the push button, the percentage with
// the progress bar, or the failure text. The install logic behind it is a TDlgController.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

#include "core/install_context.h"
#include "ui/dlg_controller.h"
#include "ui/install_view.h"
#include "ui/modal_wnd.h"
#include "ui/progress_bar.h"

constexpr int kDlgWidth = 463;
constexpr int kDlgHeight = 320;
constexpr RECT kProgressBarRect = {30, 268, 30 + 403, 268 + 12};
constexpr COLORREF kButtonFrameColour = 0x1742C1;
constexpr COLORREF kButtonFrameHoverColour = 0x1C3BAB;

class TQuillbankDlg : public TModalWnd {
 public:
  // `controller` may be null (nothing happens on clicks then); it must outlive this object.
  // `context` gives the product name and package number shown, and the language of the texts.
  explicit TQuillbankDlg(TDlgController* controller = nullptr, InstallContext context = {});
  ~TQuillbankDlg() override;

  LRESULT WndProc(UINT message, WPARAM w_param, LPARAM l_param) override;
  // Creates the progress bar, lets the controller set up, and sets the window text.
  void OnCreate() override;
  // On the display under the cursor, vertically by the primary screen's height.
  void CenterWindow() override;
  void DrawContent(TMemDC& back_buffer) override;
  // The controller's OnClose, then the modal loop ends and the window is destroyed. The modal
  // result is not changed.
  void Close() override;

  WindowState State() const { return state_; }
  // Shows the progress bar only in Installing and invalidates the window.
  void SetState(WindowState state);

  int32_t FilesDone() const { return files_done_; }
  int32_t FilesTotal() const { return files_total_; }
  // Each also feeds the progress bar (position, range) and invalidates it.
  void SetFilesDone(int32_t files_done);
  void SetFilesTotal(int32_t files_total);
  // `files` more module files complete (one, or the modules an update reused, at once): files
  // done + files, state Installing, what changed invalidated.
  void StepProgress(int32_t files = 1);
  TProcess* ProgressBar() const { return progress_bar_.get(); }

  const std::wstring& StatusText() const { return status_text_; }
  // Replaces the status text (shown in Failed), invalidates the window and repaints it at once.
  void SetStatusText(const wchar_t* text);
  // State Failed with `gbk_text` (code page 936, at most 260 characters) as status text,
  // repainted at once.
  void ShowFailure(const char* gbk_text);
  // State Failed with "<install failed>,<error code>N" in the user's language.
  void ShowFailureWithCode(int32_t code);
  // Installing, showing 100% and a full bar until the state next changes: for the install steps
  // after the last file, which block the window. Repainted at once.
  void ShowInstallFinishing();
  // While on: Installing shows message-table entry 9 ("Reconnecting") instead of the percentage.
  // The counters are kept, so the percentage comes back where it was. Repainted at once.
  void ShowReconnecting(bool on);
  bool Reconnecting() const { return reconnecting_; }

  bool ButtonHover() const { return button_hover_; }
  const RECT& ButtonRect() const { return button_rect_; }
  const RECT& StatusRect() const { return status_rect_; }
  const RECT& CloseBox() const { return close_box_; }
  // The close glyph is drawn and a release on it closes: in every state but Installing, and in
  // Installing while the controller offers it and the install steps are not running.
  bool CloseBoxShown() const;
  // Invalidates the window and repaints it before returning.
  void RepaintNow();

 private:
  void OnSize();
  void Paint();
  void TrackButtonHover();
  void OnLButtonDown(WPARAM w_param, LPARAM l_param);
  void ShowProgressBarForState();

  TDlgController* controller_;
  const InstallContext context_;
  int32_t files_done_ = 0;
  int32_t files_total_ = 0;
  std::unique_ptr<TProcess> progress_bar_;
  std::wstring status_text_;
  RECT status_rect_ = {};
  RECT button_rect_ = {};
  WindowState state_ = WindowState::Ready;
  bool button_hover_ = false;
  bool finishing_ = false;
  bool reconnecting_ = false;
};

// The percentage shown for `files_done` of `files_total`: done / (total + 0.0001) x 100,
// truncated, so it never reaches 100; kept within 0..99 when the counters disagree.
int DownloadPercentage(int32_t files_done, int32_t files_total);
