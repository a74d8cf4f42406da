// Reads the installer window's painted text back for the end-to-end tests: finds the window,
// captures it from the screen and compares the button or the status area with the text drawn
// the way the window draws it, in its font over its own background picture.
//   qb_window_probe.exe button|status|percent <text>
// Exit code 0: the area shows exactly that text; 1: it does not; 2: no installer window.
//   qb_window_probe.exe second-start <program>
// Takes the foreground with a window of its own, starts the program and waits for it. Exit code 0
// when it exited with "another install runs" within 60 s and the installer window that was
// already there is in front.
//   qb_window_probe.exe run SECONDS PROGRAM [ARGUMENTS...]
// Starts the program with the arguments and waits up to SECONDS for it, watching the whole time
// for a window that was not on screen before: prints "probe: exit code N after T ms; windows
// shown K" and the class and title of each window shown. Exit code 0 when it ended in time (the
// program's own code is the printed one, all 32 bits of it).
//   qb_window_probe.exe run-closing SECONDS PROGRAM [ARGUMENTS...]
// The same, and each window shown is asked to close once seen (a message box answers OK).
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "app/exit_codes.h"

#include "ui/drawing_objects.h"
#include "ui/quillbank_dlg.h"
#include "ui/testing/test_capture.h"

namespace {

constexpr RECT kButton = {198, 240, 262, 265};
constexpr RECT kButtonArea = {190, 232, 270, 268};
constexpr RECT kStatus = {193, 290, 453, 315};
constexpr RECT kStatusArea = {150, 284, 463, 320};


// Starts `command` (program and arguments); false with a line saying why.
bool Start(std::wstring command, PROCESS_INFORMATION* process) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  if (CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                     process)) {
    return true;
  }
  std::printf("probe: cannot start %ls (%lu)\n", command.c_str(), GetLastError());
  return false;
}

// The foreground taken from the installer, a second installer started, and the foreground
// checked once it is gone.
int SecondStart(HWND installer, const std::wstring& program) {
  HWND own = CreateWindowExW(WS_EX_TOPMOST, L"STATIC", L"probe", WS_POPUP | WS_VISIBLE, 0, 0, 50,
                             50, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
  SetForegroundWindow(own);
  const bool taken = GetForegroundWindow() == own;
  // The probe's window must not stand in front of the installer's afterwards.
  SetWindowPos(own, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  PROCESS_INFORMATION process = {};
  const DWORD start = GetTickCount();
  if (!Start(L"\"" + program + L"\"", &process)) return 2;
  const bool ended = WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0;
  DWORD code = 1;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  const bool front = GetForegroundWindow() == installer;
  std::printf("probe: foreground taken %d; second start %s with %lu after %lu ms; installer in "
              "front %d\n", taken, ended ? "exited" : "still running", code,
              GetTickCount() - start, front);
  DestroyWindow(own);
  return taken && ended && code == kExitAnotherInstall && front ? 0 : 1;
}

BOOL CALLBACK AddVisible(HWND window, LPARAM l_param) {
  if (IsWindowVisible(window)) reinterpret_cast<std::vector<HWND>*>(l_param)->push_back(window);
  return TRUE;
}

std::vector<HWND> VisibleWindows() {
  std::vector<HWND> windows;
  EnumWindows(AddVisible, reinterpret_cast<LPARAM>(&windows));
  return windows;
}

// Runs `command` (program and arguments, quoted as given) for at most `seconds`, looking for new
// visible top-level windows every 20 ms until it has ended.
int RunWatched(unsigned seconds, const std::wstring& command, bool closing) {
  std::set<HWND> before;
  for (HWND window : VisibleWindows()) before.insert(window);
  PROCESS_INFORMATION process = {};
  const DWORD start = GetTickCount();
  if (!Start(command, &process)) return 2;
  std::set<HWND> shown;
  std::vector<std::wstring> names;
  bool ended = false;
  for (;;) {
    for (HWND window : VisibleWindows()) {
      if (before.count(window) != 0 || !shown.insert(window).second) continue;
      wchar_t class_name[128] = {};
      wchar_t title[128] = {};
      GetClassNameW(window, class_name, 128);
      GetWindowTextW(window, title, 128);
      names.push_back(std::wstring(class_name) + L" \"" + title + L"\"");
      if (closing) PostMessageW(window, WM_CLOSE, 0, 0);
    }
    if (ended) break;
    // One more look after the end, for a window shown just before it.
    ended = WaitForSingleObject(process.hProcess, 20) == WAIT_OBJECT_0;
    if (!ended && GetTickCount() - start > seconds * 1000) break;
  }
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  if (!ended) {
    std::printf("probe: still running after %u s\n", seconds);
    return 1;
  }
  std::printf("probe: exit code %lu after %lu ms; windows shown %u\n", code, GetTickCount() - start,
              static_cast<unsigned>(shown.size()));
  for (const std::wstring& name : names) std::printf("probe: shown %ls\n", name.c_str());
  std::fflush(stdout);
  return 0;
}

}  // namespace

int main() {
  // The wide command line: narrow arguments arrive in the ANSI code page of the user's locale.
  int argc = 0;
  LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv != nullptr && argc >= 4 &&
      (std::wstring(argv[1]) == L"run" || std::wstring(argv[1]) == L"run-closing")) {
    std::wstring command;
    for (int i = 3; i < argc; ++i) {
      if (i > 3) command += L" ";
      command += L"\"" + std::wstring(argv[i]) + L"\"";
    }
    return RunWatched(static_cast<unsigned>(_wtoi(argv[2])), command,
                      std::wstring(argv[1]) == L"run-closing");
  }
  if (argv == nullptr || argc != 3) {
    std::fprintf(stderr, "usage: qb_window_probe button|status|percent TEXT | second-start PROGRAM"
                         " | run[-closing] SECONDS PROGRAM [ARGUMENTS...]\n");
    return 2;
  }
  const std::wstring what = argv[1];
  const std::wstring text = argv[2];
  HWND window = FindWindowW(L"TModalWnd", L"\u5C9A\u821F");
  if (window == nullptr) {
    std::fprintf(stderr, "probe: no installer window\n");
    return 2;
  }
  if (what == L"second-start") return SecondStart(window, text);
  CreateDrawingObjects();
  const Image picture =
      ReadBitmap(LoadBitmapW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(103)));
  const Image shot = CaptureWindow(window);
  Image expected;
  RECT area = {};
  if (what == L"button") {
    RECT caption = kButton;
    OffsetRect(&caption, 0, 1);
    expected = DrawTextOver(FrameOver(picture, kButton, kButtonFrameColour), BodyFont, 0xE7E7E7,
                            caption, text, DT_CENTER | DT_BOTTOM | DT_NOPREFIX);
    area = kButtonArea;
  } else {
    const UINT format = what == L"percent" ? DT_RIGHT | DT_BOTTOM | DT_NOPREFIX : DT_RIGHT | DT_BOTTOM;
    expected = DrawTextOver(picture, BodyFont, 0xE7E7E7, kStatus, text, format);
    area = kStatusArea;
  }
  const int differences = CountDifferences(shot, expected, area);
  std::printf("probe: %ls differs in %d pixels\n", what.c_str(), differences);
  DeleteDrawingObjects();
  return differences == 0 ? 0 : 1;
}
