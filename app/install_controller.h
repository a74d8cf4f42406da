// The install controller: drives one installation from the click on "Install" to "Open". It owns
// the two update clients, reacts to the installer window's clicks and to the clients' messages,
// and runs the install steps on the window thread.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>

#include "clients/process_check.h"
#include "clients/process_dl.h"
#include "net/server_selection.h"
#include "ui/dlg_controller.h"

class InstallController : public TDlgController {
 public:
  // `update_servers`: the host pattern and port the check client connects to.
  explicit InstallController(const UpdateServers& update_servers);
  ~InstallController() override;

  void OnCreate(TQuillbankDlg& dlg) override;
  void OnButtonClick(TQuillbankDlg& dlg) override;
  void OnOpen(TQuillbankDlg& dlg) override;
  bool OnMessage(TQuillbankDlg& dlg, UINT message, WPARAM w_param, LPARAM l_param) override;
  void OnClose(TQuillbankDlg& dlg) override;
  void OnDestroy(TQuillbankDlg& dlg) override;

  // The steps behind the clients' messages.
  void OnModuleDL();
  void OnDLAuthentLink(TQuillbankDlg& dlg, int32_t error_code);
  void OnInstall(TQuillbankDlg& dlg);
  void OnInstallFail(TQuillbankDlg& dlg);

  ProcessCheck* check_client() const { return check_.get(); }
  ProcessDL* download_client() const { return download_.get(); }
  int32_t check_disconnects() const { return check_disconnects_; }

 private:
  // Stops the protocol and closes the transport of a client's current connection, if any.
  static void StopConnection(ProcessClient* client);

  UpdateServers update_servers_;
  std::unique_ptr<ProcessCheck> check_;
  std::unique_ptr<ProcessDL> download_;
  int32_t check_disconnects_ = 0;
  // Set while the window closes: a download connection dropped by the close itself must not
  // turn a finished installation into a failure on screen.
  bool closing_ = false;
};

// The copy command of the install step: XCOPY of StagingDir into InstallDir, hidden.
void FormatCopyCommand(char* out, size_t out_size);
