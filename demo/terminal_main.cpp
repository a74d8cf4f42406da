// "quillbank ix.exe" of the demo package: a stand-in for the trading terminal. It records its
// command line in launch.txt beside itself and shows a small window saying that it started.
#include <windows.h>

#include <string>

#include "demo/launch_record.h"

namespace {

constexpr wchar_t kClassName[] = L"QuillbankIxStandIn";

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_DESTROY) {
    PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show) {
  wchar_t program[MAX_PATH] = {};
  GetModuleFileNameW(/*hModule=*/nullptr, program, MAX_PATH);
  std::wstring command_line = GetCommandLineW();
  bool recorded = WriteLaunchRecord(FolderOf(program), command_line);

  WNDCLASSW wc = {};
  wc.lpfnWndProc = WindowProc;
  wc.hInstance = instance;
  wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  wc.lpszClassName = kClassName;
  RegisterClassW(&wc);
  HWND window = CreateWindowExW(0, kClassName, L"quillbank ix", WS_OVERLAPPED | WS_CAPTION |
                                WS_SYSMENU | WS_MINIMIZEBOX, CW_USEDEFAULT, CW_USEDEFAULT, 420,
                                160, /*hWndParent=*/nullptr, /*hMenu=*/nullptr, instance,
                                /*lpParam=*/nullptr);
  if (!window) return 1;
  std::wstring text = L"quillbank ix \x5DF2\x542F\x52A8 (started)\r\n";  // 已启动
  text += recorded ? L"launch.txt: " : L"launch.txt could not be written: ";
  text += command_line;
  HWND label = CreateWindowExW(0, L"STATIC", text.c_str(), WS_CHILD | WS_VISIBLE | SS_LEFT, 12,
                               12, 390, 100, window, /*hMenu=*/nullptr, instance,
                               /*lpParam=*/nullptr);
  // The dialog font has no Chinese; this one does (on Windows, and mapped under Wine).
  HFONT font = CreateFontW(-15, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                           OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                           DEFAULT_PITCH, L"Microsoft YaHei");
  SendMessageW(label, WM_SETFONT, reinterpret_cast<WPARAM>(font), /*lParam redraw=*/TRUE);
  ShowWindow(window, show);
  UpdateWindow(window);

  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  DeleteObject(font);
  return recorded ? 0 : 1;
}
