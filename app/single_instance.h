// One installer per package and user. The first installer holds a named mutex for its whole life
// and marks its window; a second start finds the mutex held, brings that window to the front and
// leaves without touching a folder or the log.
#pragma once

#include <windows.h>

#include <string>

#include "base/win/scoped_handle.h"

class SingleInstance {
 public:
  // Takes "Local\QuillbankSetup.<package number>" (this user's session). `first()` tells whether
  // this process got it.
  explicit SingleInstance(const std::string& package_number);
  ~SingleInstance();
  SingleInstance(const SingleInstance&) = delete;
  SingleInstance& operator=(const SingleInstance&) = delete;

  bool first() const { return first_; }
  // When another process holds the mutex: waits up to `ms` for it to end (or let go), and takes
  // the mutex then. True when this process holds it afterwards.
  bool WaitForFirst(unsigned long ms);
  // Lets go of the mutex before the process ends (the uninstall hands over to its second stage,
  // which takes it).
  void Release();
  // Marks `window` as this package's installer window, for a later start to find.
  void MarkWindow(HWND window);
  // The window of the installer that holds the mutex, brought to the front. False when it has
  // none (it is still probing the servers, say).
  bool BringRunningToFront() const;

 private:
  std::string name_;
  ScopedHandle mutex_;
  bool first_ = false;
  ATOM atom_ = 0;  // names this package in the window property
  HWND window_ = nullptr;
};
