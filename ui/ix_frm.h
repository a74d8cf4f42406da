// The root of every window object: a native window bound to an object whose WndProc sees the
// window's messages first, and the one window procedure that does the binding.
#pragma once

#include <windows.h>

// WndProc result meaning: not handled here, let the system's default processing run.
constexpr LRESULT kNotHandled = -1;

class TIxFrm {
 public:
  TIxFrm() = default;
  // A window that still exists is unbound first (its messages then go to the default
  // processing) and destroyed.
  virtual ~TIxFrm();
  TIxFrm(const TIxFrm&) = delete;
  TIxFrm& operator=(const TIxFrm&) = delete;

  // Returns the message result, or kNotHandled.
  virtual LRESULT WndProc(UINT message, WPARAM w_param, LPARAM l_param) = 0;

  // Null until the window is created, and again once it has been destroyed.
  HWND Handle() const { return hwnd_; }

 protected:
  HWND hwnd_ = nullptr;

  friend LRESULT CALLBACK IxWindowProc(HWND, UINT, WPARAM, LPARAM);
};

// Registers `class_name` (again each time; "already registered" is ignored) with IxWindowProc
// and creates one window of it at (0, 0), size 0 x 0, bound to `object`, which learns its handle
// during creation.
void CreateIxWindow(TIxFrm* object, const wchar_t* class_name, HWND parent, DWORD style,
                    DWORD ex_style);

LRESULT CALLBACK IxWindowProc(HWND hwnd, UINT message, WPARAM w_param, LPARAM l_param);
