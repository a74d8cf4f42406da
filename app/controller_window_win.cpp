// The window's side of the install controller.
#include "app/controller_window_win.h"

#include <utility>

#include "ui/quillbank_dlg.h"

ControllerWindow::ControllerWindow(ControllerConfig config, InstallSteps* steps,
                                   void (*on_created)(HWND, void*), void* on_created_context)
    : on_created_(on_created), on_created_context_(on_created_context),
      controller_(std::move(config), steps) {}

void ControllerWindow::OnCreate(TQuillbankDlg& dlg) {
  window_ = dlg.Handle();
  view_.dlg = &dlg;
  if (on_created_ != nullptr) on_created_(dlg.Handle(), on_created_context_);
  controller_.OnCreate(&view_, &timers_, &sink_);
}

void ControllerWindow::OnButtonClick(TQuillbankDlg&) { controller_.OnButtonClick(); }

void ControllerWindow::OnOpen(TQuillbankDlg&) { controller_.OnOpen(); }

bool ControllerWindow::OnMessage(TQuillbankDlg&, UINT message, WPARAM, LPARAM l_param) {
  return controller_.OnMessage(message, static_cast<intptr_t>(l_param));
}

void ControllerWindow::OnTimer(TQuillbankDlg&, UINT_PTR timer_id) {
  controller_.OnTimer(static_cast<uint32_t>(timer_id));
}

bool ControllerWindow::CloseBoxWhileInstalling() const {
  return controller_.CloseBoxWhileInstalling();
}

void ControllerWindow::OnClose(TQuillbankDlg&) { controller_.OnClose(); }

void ControllerWindow::OnWindowDestroyed(TQuillbankDlg&) { window_ = nullptr; }

void ControllerWindow::OnDestroy(TQuillbankDlg&) { controller_.OnDestroy(); }

void ControllerWindow::View::SetState(WindowState state) { dlg->SetState(state); }
void ControllerWindow::View::SetFilesDone(int32_t files_done) { dlg->SetFilesDone(files_done); }
void ControllerWindow::View::SetFilesTotal(int32_t files_total) { dlg->SetFilesTotal(files_total); }
void ControllerWindow::View::StepProgress(int32_t files) { dlg->StepProgress(files); }
void ControllerWindow::View::ShowFailure(const char* gbk_text) { dlg->ShowFailure(gbk_text); }
void ControllerWindow::View::ShowInstallFinishing() { dlg->ShowInstallFinishing(); }
void ControllerWindow::View::ShowReconnecting(bool on) { dlg->ShowReconnecting(on); }
void ControllerWindow::View::RepaintNow() { dlg->RepaintNow(); }
// Posted: the window goes through its own close (the controller's OnClose included) once the
// handler that asked is done with it.
void ControllerWindow::View::CloseSoon() { PostMessageW(dlg->Handle(), WM_CLOSE, 0, 0); }

bool ControllerWindow::Timers::Start(uint32_t id, uint32_t ms) {
  const HWND window = *window_;
  return window != nullptr && SetTimer(window, id, ms, /*lpTimerFunc=*/nullptr) != 0;
}

void ControllerWindow::Timers::Stop(uint32_t id) {
  const HWND window = *window_;
  if (window != nullptr) KillTimer(window, id);
}

uint32_t ControllerWindow::Timers::NowMs() { return GetTickCount(); }

void ControllerWindow::Timers::Pause(uint32_t ms) { Sleep(ms); }

void ControllerWindow::Sink::Post(unsigned message, intptr_t l_param) {
  PostMessageW(*window_, message, 0, static_cast<LPARAM>(l_param));
}

void ControllerWindow::Sink::Send(unsigned message, intptr_t l_param) {
  SendMessageW(*window_, message, 0, static_cast<LPARAM>(l_param));
}
