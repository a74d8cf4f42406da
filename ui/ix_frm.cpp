// Window objects: class registration, creation and the binding window procedure.
#include "ui/ix_frm.h"

namespace {

constexpr int kObjectSlot = 0;  // window extra bytes holding the object pointer

TIxFrm* BoundObject(HWND hwnd) {
  return reinterpret_cast<TIxFrm*>(GetWindowLongPtrW(hwnd, kObjectSlot));
}

}  // namespace

TIxFrm::~TIxFrm() {
  if (hwnd_ != nullptr && IsWindow(hwnd_)) {
    SetWindowLongPtrW(hwnd_, kObjectSlot, 0);
    DestroyWindow(hwnd_);
  }
}

void CreateIxWindow(TIxFrm* object, const wchar_t* class_name, HWND parent, DWORD style,
                    DWORD ex_style) {
  HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSEXW window_class = {};
  window_class.cbSize = sizeof window_class;
  window_class.style = CS_VREDRAW | CS_HREDRAW | CS_DBLCLKS;
  window_class.lpfnWndProc = IxWindowProc;
  window_class.cbWndExtra = sizeof(LONG_PTR);
  window_class.hInstance = instance;
  window_class.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
  window_class.lpszClassName = class_name;
  RegisterClassExW(&window_class);
  CreateWindowExW(ex_style, class_name, /*lpWindowName=*/nullptr, style, 0, 0, 0, 0, parent,
                  /*hMenu=*/nullptr, instance, /*lpParam=*/object);
}

LRESULT CALLBACK IxWindowProc(HWND hwnd, UINT message, WPARAM w_param, LPARAM l_param) {
  TIxFrm* object = nullptr;
  if (message == WM_NCCREATE) {
    object = static_cast<TIxFrm*>(reinterpret_cast<CREATESTRUCTW*>(l_param)->lpCreateParams);
    if (object != nullptr) {
      object->hwnd_ = hwnd;
      SetWindowLongPtrW(hwnd, kObjectSlot, reinterpret_cast<LONG_PTR>(object));
    }
  } else {
    object = BoundObject(hwnd);
  }

  LRESULT result = kNotHandled;
  if (object != nullptr) result = object->WndProc(message, w_param, l_param);
  if (result == kNotHandled) result = DefWindowProcW(hwnd, message, w_param, l_param);

  // The last message of the window: the object must not keep a handle the system may reuse.
  if (message == WM_NCDESTROY && object != nullptr) {
    SetWindowLongPtrW(hwnd, kObjectSlot, 0);
    object->hwnd_ = nullptr;
  }
  return result;
}
