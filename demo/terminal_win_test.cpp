// The stand-in terminal: its launch record, and the program itself started as the installer
// starts it, from a folder with Chinese characters in its name.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "demo/launch_record.h"
#include "test_support/temp_dir.h"

namespace {

std::wstring Wide(const std::string& text) {
  int n = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, &out[0], n);
  out.resize(static_cast<size_t>(n - 1));
  return out;
}

std::string ReadWide(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "";
  char buffer[4096];
  DWORD read = 0;
  ReadFile(file, buffer, sizeof(buffer), &read, nullptr);
  CloseHandle(file);
  return std::string(buffer, read);
}

struct FindData {
  DWORD process_id;
  HWND window;
};

BOOL CALLBACK FindProcessWindow(HWND window, LPARAM param) {
  auto* data = reinterpret_cast<FindData*>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  wchar_t name[64] = {};
  GetClassNameW(window, name, 64);
  if (pid == data->process_id && std::wstring(name) == L"QuillbankIxStandIn") {
    data->window = window;
    return FALSE;
  }
  return TRUE;
}

}  // namespace

TEST(LaunchRecord, WritesTheCommandLineAsUtf8AndReplacesAnOlderRecord) {
  TempDir dir;
  std::wstring folder = Wide(dir.path()) + L"\\";
  ASSERT_TRUE(WriteLaunchRecord(folder, L"old"));
  ASSERT_TRUE(WriteLaunchRecord(folder, L"\"C:\\\x7EC8\x7AEF\\quillbank ix.exe\" end"));
  EXPECT_EQ(ReadWide(folder + kLaunchRecordName),
            "\"C:\\\xE7\xBB\x88\xE7\xAB\xAF\\quillbank ix.exe\" end\r\n");
  EXPECT_FALSE(WriteLaunchRecord(folder + L"missing\\", L"x"));
  EXPECT_EQ(FolderOf(L"C:\\a\\b.exe"), L"C:\\a\\");
  EXPECT_EQ(FolderOf(L"b.exe"), L"");
}

TEST(StandInTerminal, RecordsItsCommandLineAndShowsItsWindow) {
  TempDir dir;
  std::wstring folder = Wide(dir.path()) + L"\\\x7EC8\x7AEF\\";  // 终端
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  std::wstring exe = folder + L"quillbank ix.exe";
  ASSERT_TRUE(CopyFileW(QB_TERMINAL_EXE, exe.c_str(), /*bFailIfExists=*/FALSE));

  std::wstring command = L"\"" + exe + L"\" end";
  STARTUPINFOW si = {};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi = {};
  ASSERT_TRUE(CreateProcessW(exe.c_str(), &command[0], nullptr, nullptr,
                             /*bInheritHandles=*/FALSE, 0, nullptr, folder.c_str(), &si, &pi));
  // The window exists a moment before it is shown: wait for both.
  FindData found{pi.dwProcessId, nullptr};
  for (int i = 0; i < 600 && !(found.window && IsWindowVisible(found.window)); ++i) {
    Sleep(50);
    EnumWindows(FindProcessWindow, reinterpret_cast<LPARAM>(&found));
  }
  ASSERT_NE(found.window, nullptr);
  EXPECT_TRUE(IsWindowVisible(found.window));
  int n = WideCharToMultiByte(CP_UTF8, 0, command.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<size_t>(n - 1), '\0');
  WideCharToMultiByte(CP_UTF8, 0, command.c_str(), -1, &utf8[0], n, nullptr, nullptr);
  EXPECT_EQ(ReadWide(folder + kLaunchRecordName), utf8 + "\r\n");

  PostMessageW(found.window, WM_CLOSE, 0, 0);
  ASSERT_EQ(WaitForSingleObject(pi.hProcess, 20000), WAIT_OBJECT_0);
  DWORD code = 1;
  GetExitCodeProcess(pi.hProcess, &code);
  EXPECT_EQ(code, 0u);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  DeleteFileW((folder + kLaunchRecordName).c_str());
  DeleteFileW(exe.c_str());
  RemoveDirectoryW(folder.c_str());
}
