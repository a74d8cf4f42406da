// Stand-in for the terminal program. Started with arguments (as the installer starts the
// terminal), it writes its command line (UTF-8) and its Path to "launched.txt" beside itself and ends.
// Without, it waits until it is ended, or two minutes at most, so that a failed test leaves
// nothing running.
#include <windows.h>

#include <cstdio>
#include <string>

int main(int argc, char**) {
  if (argc < 2) {
    Sleep(120000);
    return 0;
  }
  wchar_t exe[MAX_PATH + 1] = {};
  GetModuleFileNameW(nullptr, exe, MAX_PATH);
  std::wstring report = exe;
  const std::wstring folder = report.substr(0, report.rfind(L'\\') + 1);
  report = folder + L"launched.tmp";
  static char path[32768];
  GetEnvironmentVariableA("Path", path, sizeof path);
  FILE* file = _wfopen(report.c_str(), L"wb");
  if (file == nullptr) return 1;
  static char command[65536];
  WideCharToMultiByte(CP_UTF8, 0, GetCommandLineW(), -1, command, sizeof command, nullptr,
                      nullptr);
  std::fprintf(file, "%s\n%s", command, path);
  std::fclose(file);
  // Renamed when complete, so a reader never sees half of it.
  return MoveFileW(report.c_str(), (folder + L"launched.txt").c_str()) ? 0 : 1;
}
