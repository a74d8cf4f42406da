// What the installer window asks of the install logic behind it. The window draws, tracks the
// mouse and decides what a click means in each state; the controller acts on it and on the
// clients' messages. Every hook runs on the window thread.
#pragma once

#include <windows.h>

class TQuillbankDlg;

class TDlgController {
 public:
  virtual ~TDlgController() = default;

  // The window exists, its progress bar too; it is not shown yet.
  virtual void OnCreate(TQuillbankDlg& dlg) { (void)dlg; }
  // The button was pressed in the Ready state.
  virtual void OnButtonClick(TQuillbankDlg& dlg) { (void)dlg; }
  // The button was pressed in the Installed state: the window is hidden already and closes as
  // soon as this returns.
  virtual void OnOpen(TQuillbankDlg& dlg) { (void)dlg; }
  // A message numbered WM_USER or above reached the window. True when handled (the window then
  // returns 0); false leaves it to the default processing.
  virtual bool OnMessage(TQuillbankDlg& dlg, UINT message, WPARAM w_param, LPARAM l_param) {
    (void)dlg, (void)message, (void)w_param, (void)l_param;
    return false;
  }
  // A timer of the window (SetTimer on its handle) fired.
  virtual void OnTimer(TQuillbankDlg& dlg, UINT_PTR timer_id) { (void)dlg, (void)timer_id; }
  // Whether the close box is offered while the window shows Installing (it always is in the other
  // states). Not while the install steps run.
  virtual bool CloseBoxWhileInstalling() const { return false; }
  // The window is closing (close box, system close command, after "Open"): called before the
  // modal loop is told to end and the window is destroyed. The place to stop the connections.
  virtual void OnClose(TQuillbankDlg& dlg) { (void)dlg; }
  // The window is being destroyed (WM_DESTROY): messages posted to it from now on must find no
  // window rather than a reused handle.
  virtual void OnWindowDestroyed(TQuillbankDlg& dlg) { (void)dlg; }
  // The window object is being destroyed, after its progress bar; the window is gone by now.
  virtual void OnDestroy(TQuillbankDlg& dlg) { (void)dlg; }
};
