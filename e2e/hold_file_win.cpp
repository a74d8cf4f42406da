// Holds a file or folder open as another program would (an antivirus scan, an Explorer window),
// for the end-to-end tests:
//   qb_hold_file.exe PATH RELEASE
// Waits for PATH to exist, opens it for reading, sharing reading and writing but not deletion
// (so Windows will not rename its folder), prints "held" and keeps it until RELEASE exists.
// Exit code 0 once released; 2 when PATH never appeared.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>

namespace {

constexpr DWORD kWaitStepMs = 20;
constexpr DWORD kGiveUpMs = 300000;

bool Exists(const wchar_t* path) { return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES; }

}  // namespace

int main() {
  int argc = 0;
  LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv == nullptr || argc != 3) {
    std::fprintf(stderr, "usage: qb_hold_file PATH RELEASE\n");
    return 2;
  }
  HANDLE held = INVALID_HANDLE_VALUE;
  for (DWORD waited = 0; waited < kGiveUpMs && held == INVALID_HANDLE_VALUE; waited += kWaitStepMs) {
    held = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (held == INVALID_HANDLE_VALUE) Sleep(kWaitStepMs);
  }
  if (held == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "hold: %ls never appeared\n", argv[1]);
    return 2;
  }
  std::printf("held\n");
  std::fflush(stdout);
  for (DWORD waited = 0; waited < kGiveUpMs && !Exists(argv[2]); waited += kWaitStepMs) {
    Sleep(kWaitStepMs);
  }
  CloseHandle(held);
  return 0;
}
