// Writing launch.txt through the wide file API, so folders with any characters work.
#include "demo/launch_record.h"

#include <windows.h>

std::wstring FolderOf(const std::wstring& program_path) {
  size_t slash = program_path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring() : program_path.substr(0, slash + 1);
}

bool WriteLaunchRecord(const std::wstring& folder, const std::wstring& command_line) {
  std::string utf8;
  if (!command_line.empty()) {
    int n = WideCharToMultiByte(CP_UTF8, 0, command_line.data(),
                                static_cast<int>(command_line.size()), nullptr, 0, nullptr,
                                nullptr);
    utf8.resize(static_cast<size_t>(n));
    WideCharToMultiByte(CP_UTF8, 0, command_line.data(), static_cast<int>(command_line.size()),
                        &utf8[0], n, nullptr, nullptr);
  }
  utf8 += "\r\n";
  std::wstring path = folder + kLaunchRecordName;
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, /*dwShareMode=*/0,
                            /*lpSecurityAttributes=*/nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, /*hTemplateFile=*/nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  BOOL ok = WriteFile(file, utf8.data(), static_cast<DWORD>(utf8.size()), &written,
                      /*lpOverlapped=*/nullptr);
  CloseHandle(file);
  return ok && written == utf8.size();
}
