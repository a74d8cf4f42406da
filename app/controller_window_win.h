// The install controller inside the installer window: the window's clicks and messages reach
// the controller, and the window serves it as its view, its timers and the way the clients'
// reports reach its thread (posted and sent window messages). Each of the three is a small
// object of its own (single inheritance keeps the shipped program's type information small).
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "app/install_controller.h"
#include "app/install_timers.h"
#include "core/window_messages.h"
#include "ui/dlg_controller.h"
#include "ui/install_view.h"

class ControllerWindow : public TDlgController {
 public:
  // Makes the controller of this window from `config` and `steps` (which outlives this).
  // `on_created` (may be null) is told the window's handle once it exists (the program marks it
  // for a second start).
  ControllerWindow(ControllerConfig config, InstallSteps* steps,
                   void (*on_created)(HWND, void*) = nullptr, void* on_created_context = nullptr);

  InstallController& controller() { return controller_; }

  void OnCreate(TQuillbankDlg& dlg) override;
  void OnButtonClick(TQuillbankDlg& dlg) override;
  void OnOpen(TQuillbankDlg& dlg) override;
  bool OnMessage(TQuillbankDlg& dlg, UINT message, WPARAM w_param, LPARAM l_param) override;
  void OnTimer(TQuillbankDlg& dlg, UINT_PTR timer_id) override;
  bool CloseBoxWhileInstalling() const override;
  void OnClose(TQuillbankDlg& dlg) override;
  void OnWindowDestroyed(TQuillbankDlg& dlg) override;
  void OnDestroy(TQuillbankDlg& dlg) override;

 private:
  // What the controller shows, on the window.
  class View : public InstallView {
   public:
    void SetState(WindowState state) override;
    void SetFilesDone(int32_t files_done) override;
    void SetFilesTotal(int32_t files_total) override;
    void StepProgress(int32_t files) override;
    void ShowFailure(const char* gbk_text) override;
    void ShowInstallFinishing() override;
    void ShowReconnecting(bool on) override;
    void RepaintNow() override;
    void CloseSoon() override;
    TQuillbankDlg* dlg = nullptr;
  };
  // The window's timers.
  class Timers : public InstallTimers {
   public:
    explicit Timers(const std::atomic<HWND>* window) : window_(window) {}
    bool Start(uint32_t id, uint32_t ms) override;
    void Stop(uint32_t id) override;
    uint32_t NowMs() override;
    void Pause(uint32_t ms) override;

   private:
    const std::atomic<HWND>* const window_;
  };
  // The clients' reports as window messages.
  class Sink : public ClientSink {
   public:
    explicit Sink(const std::atomic<HWND>* window) : window_(window) {}
    void Post(unsigned message, intptr_t l_param) override;
    void Send(unsigned message, intptr_t l_param) override;

   private:
    const std::atomic<HWND>* const window_;
  };

  void (*const on_created_)(HWND, void*);
  void* const on_created_context_;
  // Read by the clients' receive threads; null once the window is being destroyed.
  std::atomic<HWND> window_{nullptr};
  View view_;
  Timers timers_{&window_};
  Sink sink_{&window_};
  // Declared last, so destroyed first: its clients' threads report through the sink until the
  // controller has ended them.
  InstallController controller_;
};
