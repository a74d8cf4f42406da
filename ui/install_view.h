// What the install controller shows the user, through the installer window (or, in the
// controller's own tests, a stand-in that records it).
#pragma once

#include <cstdint>

enum class WindowState : int32_t {
  Ready = 0,       // button "Install", close box
  Installing = 1,  // percentage and progress bar; no button; the close box as the controller says
  Failed = 2,      // status text, close box
  Installed = 3,   // button "Open", close box
};

class InstallView {
 public:
  virtual ~InstallView() = default;
  virtual void SetState(WindowState state) = 0;
  // The counters behind the percentage and the progress bar.
  virtual void SetFilesDone(int32_t files_done) = 0;
  virtual void SetFilesTotal(int32_t files_total) = 0;
  // `files` more module files complete (one, or the modules an update reused, at once).
  virtual void StepProgress(int32_t files) = 0;
  // State Failed with `gbk_text` (code page 936, at most 260 characters) as status text.
  virtual void ShowFailure(const char* gbk_text) = 0;
  // Installing, showing 100% until the state next changes: for the install steps after the last
  // file, which keep the window thread busy.
  virtual void ShowInstallFinishing() = 0;
  // While on: "Reconnecting" instead of the percentage; the counters are kept.
  virtual void ShowReconnecting(bool on) = 0;
  // What changed is on screen before this returns.
  virtual void RepaintNow() = 0;
  // The window closes by itself once the message being handled is done (unattended installs).
  virtual void CloseSoon() = 0;
};
