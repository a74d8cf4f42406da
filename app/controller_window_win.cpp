// The window's side of the install controller.
#include "app/controller_window_win.h"

#include "ui/quillbank_dlg.h"

ControllerWindow::ControllerWindow(InstallController* controller,
                                   void (*on_created)(HWND, void*), void* on_created_context)
    : controller_(controller), on_created_(on_created), on_created_context_(on_created_context) {}

void ControllerWindow::OnCreate(TQuillbankDlg& dlg) {
  window_ = dlg.Handle();
  if (on_created_ != nullptr) on_created_(dlg.Handle(), on_created_context_);
  controller_->OnCreate(&dlg, this, this);
}

void ControllerWindow::OnButtonClick(TQuillbankDlg&) { controller_->OnButtonClick(); }

void ControllerWindow::OnOpen(TQuillbankDlg&) { controller_->OnOpen(); }

bool ControllerWindow::OnMessage(TQuillbankDlg&, UINT message, WPARAM, LPARAM l_param) {
  return controller_->OnMessage(message, static_cast<intptr_t>(l_param));
}

void ControllerWindow::OnTimer(TQuillbankDlg&, UINT_PTR timer_id) {
  controller_->OnTimer(static_cast<uint32_t>(timer_id));
}

bool ControllerWindow::CloseBoxWhileInstalling() const {
  return controller_->CloseBoxWhileInstalling();
}

void ControllerWindow::OnClose(TQuillbankDlg&) { controller_->OnClose(); }

void ControllerWindow::OnWindowDestroyed(TQuillbankDlg&) { window_ = nullptr; }

void ControllerWindow::OnDestroy(TQuillbankDlg&) { controller_->OnDestroy(); }

bool ControllerWindow::Start(uint32_t id, uint32_t ms) {
  const HWND window = window_;
  return window != nullptr && SetTimer(window, id, ms, /*lpTimerFunc=*/nullptr) != 0;
}

void ControllerWindow::Stop(uint32_t id) {
  const HWND window = window_;
  if (window != nullptr) KillTimer(window, id);
}

uint32_t ControllerWindow::NowMs() { return GetTickCount(); }

void ControllerWindow::Pause(uint32_t ms) { Sleep(ms); }

void ControllerWindow::Post(unsigned message, intptr_t l_param) {
  PostMessageW(window_, message, 0, static_cast<LPARAM>(l_param));
}

void ControllerWindow::Send(unsigned message, intptr_t l_param) {
  SendMessageW(window_, message, 0, static_cast<LPARAM>(l_param));
}
