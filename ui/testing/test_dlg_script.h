// Test support: runs the installer window modally with a recording controller and a test script
// that executes inside the window's own modal loop, with the window shown and centred.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "core/install_context.h"
#include "ui/quillbank_dlg.h"

class ScriptController : public TDlgController {
 public:
  using Script = std::function<void(TQuillbankDlg&)>;

  void OnCreate(TQuillbankDlg& dlg) override;
  void OnButtonClick(TQuillbankDlg& dlg) override;
  void OnOpen(TQuillbankDlg& dlg) override;
  bool OnMessage(TQuillbankDlg& dlg, UINT message, WPARAM w_param, LPARAM l_param) override;
  void OnClose(TQuillbankDlg& dlg) override;
  void OnDestroy(TQuillbankDlg& dlg) override;
  bool CloseBoxWhileInstalling() const override { return close_while_installing; }

  Script script;
  bool close_while_installing = false;
  bool keep_open = false;  // the script ends the loop itself (otherwise the window is closed)
  int creates = 0;
  int button_clicks = 0;
  int opens = 0;
  int closes = 0;
  int destroys = 0;
  bool visible_when_created = true;
  bool visible_when_opened = true;
  bool progress_bar_when_destroyed = true;
  std::vector<UINT> messages;  // WM_USER and above, other than the script's own
};

// The context a test window shows: package 100201, in English unless `language_id` says
// otherwise, with `product_name` (GBK).
InstallContext TestWindowContext(int32_t language_id = 0x0409, const std::string& product_name = "");

// Runs `script` in the modal loop of a fresh window for `context` (closed afterwards if the
// script left it open). Returns RunModal's result.
bool RunDlgScript(ScriptController& controller, const ScriptController::Script& script,
                  const InstallContext& context = TestWindowContext());

// Puts the cursor on a client point of `hwnd`.
void MoveCursorTo(HWND hwnd, int x, int y);
// The cursor on the client point, then the message sent with it as lParam.
void SendMouse(HWND hwnd, UINT message, WPARAM w_param, int x, int y);
