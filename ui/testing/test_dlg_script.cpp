// Test support: the scripted installer window.
#include "ui/testing/test_dlg_script.h"

namespace {

constexpr UINT kRunScript = WM_APP + 0x3A0;

}  // namespace

void ScriptController::OnCreate(TQuillbankDlg& dlg) {
  ++creates;
  visible_when_created = IsWindowVisible(dlg.Handle()) != FALSE;
  PostMessageW(dlg.Handle(), kRunScript, 0, 0);
}

void ScriptController::OnButtonClick(TQuillbankDlg&) { ++button_clicks; }

void ScriptController::OnOpen(TQuillbankDlg& dlg) {
  ++opens;
  visible_when_opened = IsWindowVisible(dlg.Handle()) != FALSE;
}

bool ScriptController::OnMessage(TQuillbankDlg& dlg, UINT message, WPARAM, LPARAM) {
  if (message != kRunScript) {
    messages.push_back(message);
    return message < WM_APP;  // the UM_* numbers; WM_APP and above stay unhandled
  }
  if (script) script(dlg);
  if (!keep_open && dlg.Handle() != nullptr) dlg.Close();
  return true;
}

void ScriptController::OnClose(TQuillbankDlg&) { ++closes; }

void ScriptController::OnDestroy(TQuillbankDlg& dlg) {
  ++destroys;
  progress_bar_when_destroyed = dlg.ProgressBar() != nullptr;
}

InstallContext TestWindowContext(int32_t language_id, const std::string& product_name) {
  InstallContext context;
  context.PackageNumber = "100201";
  context.LanguageId = language_id;
  context.ProductName = product_name;
  return context;
}

bool RunDlgScript(ScriptController& controller, const ScriptController::Script& script,
                  const InstallContext& context) {
  controller.script = script;
  TQuillbankDlg dlg(&controller, context);
  return dlg.RunModal();
}

void MoveCursorTo(HWND hwnd, int x, int y) {
  POINT point = {x, y};
  ClientToScreen(hwnd, &point);
  SetCursorPos(point.x, point.y);
}

void SendMouse(HWND hwnd, UINT message, WPARAM w_param, int x, int y) {
  MoveCursorTo(hwnd, x, y);
  SendMessageW(hwnd, message, w_param, MAKELPARAM(x, y));
}
