// The system integration over Win32: processes (tool-help snapshots, terminate, create, wait),
// the shell (delete, desktop shortcut), the environment and the registry.
#include "install/system.h"

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/file_system.h"
#include "base/path_rules.h"
#include "base/special_folder.h"
#include "base/text_convert.h"
#include "base/two_threads.h"
#include "base/win/com_ptr.h"
#include "base/win/registry_key.h"
#include "base/win/scoped_handle.h"
#include "core/install_context.h"
#include "install/path_text.h"
#include "install/system_win.h"
#include "install/uninstall_registry.h"

namespace {

constexpr wchar_t kTerminalExeNameW[] = L"quillbank ix.exe";
constexpr int kCommandLineChars = 2048;
constexpr int kShortcutPathChars = 1024;
constexpr DWORD kTerminateWaitMs = 5000;
constexpr DWORD kPauseAfterTerminateMs = 2500;

// The whole "Path" of this process (its size asked first, so no length cuts it short). A missing
// variable reads as empty; false when it cannot be read.
bool ReadProcessPath(std::string* text) {
  text->clear();
  DWORD size = GetEnvironmentVariableA("Path", nullptr, 0);
  if (size == 0) return GetLastError() == ERROR_ENVVAR_NOT_FOUND;
  for (int attempt = 0; attempt < 3; ++attempt) {
    std::vector<char> buffer(size + 1, '\0');
    const DWORD length = GetEnvironmentVariableA("Path", buffer.data(), size + 1);
    if (length == 0) return GetLastError() == ERROR_ENVVAR_NOT_FOUND;
    if (length <= size) {
      text->assign(buffer.data(), length);
      return true;
    }
    size = length;  // grew in between: ask again with the new size
  }
  return false;
}

// The whole value "Path" of an open key and its type; a missing value reads as an empty REG_SZ.
// False when it cannot be read or is not text.
bool ReadStoredPath(HKEY key, std::string* text, DWORD* type) {
  text->clear();
  *type = REG_SZ;
  DWORD size = 0;
  LONG rc = RegQueryValueExA(key, "Path", /*lpReserved=*/nullptr, type, /*lpData=*/nullptr, &size);
  if (rc == ERROR_FILE_NOT_FOUND) {
    *type = REG_SZ;
    return true;
  }
  for (int attempt = 0; rc == ERROR_SUCCESS && attempt < 3; ++attempt) {
    if (*type != REG_SZ && *type != REG_EXPAND_SZ) return false;
    std::vector<char> data(size + 1, '\0');
    DWORD length = size;
    rc = RegQueryValueExA(key, "Path", /*lpReserved=*/nullptr, type,
                          reinterpret_cast<BYTE*>(data.data()), &length);
    if (rc == ERROR_MORE_DATA) {
      size = length;
      rc = ERROR_SUCCESS;
      continue;
    }
    if (rc != ERROR_SUCCESS) return false;
    *text = data.data();  // the stored bytes need not end in a zero; `data` always does
    return true;
  }
  return false;
}

// Tells every top-level window that the stored environment changed (Explorer re-reads it).
void BroadcastEnvironmentChange() {
  SendMessageTimeoutW(HWND_BROADCAST, WM_SETTINGCHANGE, /*wParam=*/0,
                      reinterpret_cast<LPARAM>(L"Environment"), SMTO_NOTIMEOUTIFNOTHUNG,
                      /*uTimeout=*/0xFFFFFFFF, /*lpdwResult=*/nullptr);
}

enum class PathEdit { Failed, Unchanged, Written };

// Applies `edit` to HKCU\Environment "Path" and writes the result back with a broadcast: the
// value's type kept (REG_EXPAND_SZ stays REG_EXPAND_SZ, so its %-references keep expanding), a
// value left empty deleted, as it was before an install made it. A value that cannot be read
// whole, or is not text, is left as it is.
PathEdit EditStoredPath(const std::string& depend_dir,
                        bool (*edit)(std::string* path, const std::string& depend_dir)) {
  RegistryKey key;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, "Environment", /*ulOptions=*/0, KEY_READ | KEY_WRITE,
                    key.receive()) != ERROR_SUCCESS) {
    return PathEdit::Failed;
  }
  std::string text;
  DWORD type = REG_SZ;
  if (!ReadStoredPath(key.get(), &text, &type)) return PathEdit::Failed;
  if (!edit(&text, depend_dir)) return PathEdit::Unchanged;
  const LONG rc = text.empty()
                      ? RegDeleteValueA(key.get(), "Path")
                      : RegSetValueExA(key.get(), "Path", /*Reserved=*/0, type,
                                       reinterpret_cast<const BYTE*>(text.c_str()),
                                       static_cast<DWORD>(text.size() + 1));
  if (rc != ERROR_SUCCESS) return PathEdit::Failed;
  key.reset();
  BroadcastEnvironmentChange();
  return PathEdit::Written;
}

}  // namespace

std::wstring GetExeDir() {
  wchar_t buffer[MAX_PATH + 1] = {};
  GetModuleFileNameW(/*hModule=*/nullptr, buffer, MAX_PATH);
  const std::wstring path = buffer;
  const size_t slash = path.rfind(L'\\');
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

std::wstring GetProcessImagePath(unsigned long process_id) {
  ScopedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, process_id));
  if (!snapshot.valid()) return std::wstring();
  MODULEENTRY32W module = {};
  module.dwSize = sizeof module;
  if (!Module32FirstW(snapshot.get(), &module)) return std::wstring();
  return module.szExePath;
}

namespace {

// How long a starting terminal is given to list its modules: 20 x 100 ms.
constexpr int kImagePathWaits = 20;
constexpr DWORD kImagePathPauseMs = 100;

}  // namespace

int KillRunningTerminal() {
  StopTerminalRunningFrom(GetExeDir());
  return 0;
}

bool StopTerminalRunningFrom(const std::wstring& folder) {
  const std::wstring expected = folder + kTerminalExeNameW;
  ScopedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, /*th32ProcessID=*/0));
  if (!snapshot.valid()) return 0;
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof entry;
  bool found = false;
  DWORD process_id = 0;
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
       more = Process32NextW(snapshot.get(), &entry)) {
    if (lstrcmpiW(entry.szExeFile, kTerminalExeNameW) != 0) continue;
    // A terminal started a moment ago may not list its modules yet: it is given a little while
    // before it counts as one from elsewhere (left running, it would hold its program in the
    // old install, which could then not be deleted).
    std::wstring image = GetProcessImagePath(entry.th32ProcessID);
    for (int wait = 0; image.empty() && wait < kImagePathWaits; ++wait) {
      Sleep(kImagePathPauseMs);
      image = GetProcessImagePath(entry.th32ProcessID);
    }
    // Only a terminal from our own folder; the comparison is exact, letter case included.
    if (image == expected) {
      found = true;
      process_id = entry.th32ProcessID;
      break;
    }
  }
  snapshot.reset();
  if (!found) return false;
  // SYNCHRONIZE as well, or the wait below could not wait at all.
  ScopedHandle process(
      OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, /*bInheritHandle=*/FALSE, process_id));
  TerminateProcess(process.get(), /*uExitCode=*/0);
  WaitForSingleObject(process.get(), kTerminateWaitMs);
  Sleep(kPauseAfterTerminateMs);
  return true;
}

void ExtendProcessPath(const std::string& depend_dir) {
  std::string path;
  if (!ReadProcessPath(&path)) return;
  const std::string extended = ProcessPathWithDependDir(path, depend_dir);
  // A value the system refuses (too long) leaves the old one in place.
  SetEnvironmentVariableA("Path", extended.c_str());
}

int LaunchTerminal(const InstallContext& ctx) {
  ExtendProcessPath(ctx.DependDir);
  const std::string command = "\"" + ctx.InstallDir + "\\" + kTerminalExeName + "\" end";
  wchar_t wide[kCommandLineChars] = {};
  if (!ToWide(command.c_str(), reinterpret_cast<char16_t*>(wide), kCommandLineChars,
              kCodePageSystem)) {
    return 0;
  }
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOWNORMAL;
  PROCESS_INFORMATION process = {};
  const BOOL created = CreateProcessW(
      /*lpApplicationName=*/nullptr, wide, /*lpProcessAttributes=*/nullptr,
      /*lpThreadAttributes=*/nullptr, /*bInheritHandles=*/FALSE, CREATE_NEW_CONSOLE,
      /*lpEnvironment=*/nullptr, /*lpCurrentDirectory=*/nullptr, &startup, &process);
  if (created) {
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  return created;
}

bool RunAndWait(const char* command_line, unsigned long* exit_code_out) {
  unsigned long ignored = 0;
  unsigned long& reported = exit_code_out != nullptr ? *exit_code_out : ignored;
  reported = 0xFFFFFFFF;
  if (command_line == nullptr) return false;
  // CreateProcessA may write into the command line.
  std::vector<char> command(command_line, command_line + std::strlen(command_line) + 1);
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  PROCESS_INFORMATION info = {};
  if (!CreateProcessA(/*lpApplicationName=*/nullptr, command.data(),
                      /*lpProcessAttributes=*/nullptr, /*lpThreadAttributes=*/nullptr,
                      /*bInheritHandles=*/FALSE, IDLE_PRIORITY_CLASS, /*lpEnvironment=*/nullptr,
                      /*lpCurrentDirectory=*/nullptr, &startup, &info)) {
    return false;
  }
  ScopedHandle thread(info.hThread);
  ScopedHandle process(info.hProcess);
  WaitForSingleObject(process.get(), INFINITE);
  DWORD exit_code = 1;
  if (!GetExitCodeProcess(process.get(), &exit_code)) return false;
  reported = exit_code;
  return exit_code == 0;
}

std::string FirstHeldFile(const std::string& folder) {
  std::vector<FileEntry> files;
  if (!ListFiles(folder, &files)) return std::string();
  // Each file asked on its own: on both cores (under Wine every open is a round trip to its
  // server, thousands of them for a large install).
  std::vector<char> held(files.size(), 0);
  ForEachOnTwoThreads(files.size(), 64, [&](size_t i, int) {
    const std::string path = folder + "\\" + files[i].relative;
    // Opening for deletion, sharing what others may share, fails exactly when a program holds
    // the file without allowing its deletion.
    ScopedHandle probe(CreateFileA(path.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    held[i] = !probe.valid() && GetLastError() == ERROR_SHARING_VIOLATION;
  });
  for (size_t i = 0; i < files.size(); ++i) {
    if (held[i]) return folder + "\\" + files[i].relative;
  }
  return std::string();
}

namespace {

// COM on this thread while it lives (COM counts nested initialisations).
class ComScope {
 public:
  ComScope() : ok_(SUCCEEDED(CoInitialize(/*pvReserved=*/nullptr))) {}
  ~ComScope() {
    if (ok_) CoUninitialize();
  }
  ComScope(const ComScope&) = delete;
  ComScope& operator=(const ComScope&) = delete;
  bool ok() const { return ok_; }

 private:
  bool ok_;
};

// InstallDir\quillbank ix.exe as wide text; empty when it does not fit a shortcut path.
std::wstring TerminalPathWide(const std::string& install_dir) {
  const std::string target = install_dir + "\\" + kTerminalExeName;
  wchar_t wide[kShortcutPathChars] = {};
  if (!ToWide(target.c_str(), reinterpret_cast<char16_t*>(wide), kShortcutPathChars,
              kCodePageSystem)) {
    return std::wstring();
  }
  return wide;
}

// GBK or ASCII text as wide text; empty when it cannot be converted.
std::wstring WideFromGbk(const std::string& text) {
  wchar_t wide[kShortcutPathChars] = {};
  if (!ToWide(text.c_str(), reinterpret_cast<char16_t*>(wide), kShortcutPathChars,
              kCodePageGbk)) {
    return std::wstring();
  }
  return wide;
}

}  // namespace

bool IsOurShortcut(const std::wstring& link, const std::string& install_dir) {
  const std::wstring target = TerminalPathWide(install_dir);
  if (target.empty()) return false;
  const ComScope com;  // outlives the objects below
  if (!com.ok()) return false;
  ComPtr<IShellLinkW> shell_link;
  ComPtr<IPersistFile> file;
  wchar_t path[kShortcutPathChars] = {};
  return SUCCEEDED(CoCreateInstance(CLSID_ShellLink, /*pUnkOuter=*/nullptr, CLSCTX_INPROC_SERVER,
                                    IID_IShellLinkW, shell_link.receive())) &&
         SUCCEEDED(shell_link->QueryInterface(IID_IPersistFile, file.receive())) &&
         SUCCEEDED(file->Load(link.c_str(), STGM_READ)) &&
         SUCCEEDED(shell_link->GetPath(path, kShortcutPathChars, /*pfd=*/nullptr, SLGP_RAWPATH)) &&
         lstrcmpiW(path, target.c_str()) == 0;
}

std::wstring DesktopShortcutPath(const InstallContext& ctx) {
  std::string desktop;
  GetSpecialFolder(kCsidlDesktopDirectory, desktop);
  wchar_t folder[kShortcutPathChars] = {};
  if (desktop.empty() || !ToWide(desktop.c_str(), reinterpret_cast<char16_t*>(folder),
                                 kShortcutPathChars, kCodePageSystem)) {
    return std::wstring();
  }
  // The product name comes from the package query, which nothing authenticates: it names the
  // shortcut only when it is one plain file name.
  std::wstring names[2];
  const std::wstring product = WideFromGbk(ctx.ProductName);
  if (IsPlainFileName(std::u16string_view(reinterpret_cast<const char16_t*>(product.c_str()),
                                          product.size()))) {
    names[0] = product;
  }
  names[1] = L"Quillbank" + WideFromGbk(ctx.PackageNumber);
  for (const std::wstring& name : names) {
    if (name.empty()) continue;
    const std::wstring link = std::wstring(folder) + L"\\" + name + L".lnk";
    if (link.size() >= static_cast<size_t>(kShortcutPathChars)) continue;
    const DWORD attributes = GetFileAttributesW(link.c_str());
    // Not there yet, or the shortcut an earlier install made: never someone else's file, and
    // never through a link.
    if (attributes == INVALID_FILE_ATTRIBUTES) return link;
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT) && IsOurShortcut(link, ctx.InstallDir)) return link;
  }
  return std::wstring();
}

bool CreateDesktopShortcut(const InstallContext& ctx) {
  const std::wstring link = DesktopShortcutPath(ctx);
  const std::wstring target = TerminalPathWide(ctx.InstallDir);
  if (link.empty() || target.empty()) return false;
  const ComScope com;  // outlives the objects below
  if (!com.ok()) return true;
  ComPtr<IShellLinkW> shell_link;
  if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, /*pUnkOuter=*/nullptr, CLSCTX_INPROC_SERVER,
                                 IID_IShellLinkW, shell_link.receive()))) {
    shell_link->SetPath(target.c_str());
    ComPtr<IPersistFile> file;
    if (SUCCEEDED(shell_link->QueryInterface(IID_IPersistFile, file.receive()))) {
      file->Save(link.c_str(), /*fRemember=*/FALSE);
    }
  }
  return true;
}

bool BaseZipWanted(const std::string& depend_dir) {
  OSVERSIONINFOEXW version = {};
  static_assert(sizeof version == 284, "the extended version record");
  version.dwOSVersionInfoSize = sizeof version;
  if (!GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&version)) ||
      version.dwMajorVersion >= 10) {
    return false;
  }
  std::string path;
  ReadProcessPath(&path);
  return path.find(depend_dir) == std::string::npos;
}

bool BaseZipNeeded(const std::string& depend_dir) {
  if (!BaseZipWanted(depend_dir)) return false;
  AddToUserPath(depend_dir);
  return true;
}

bool AddToUserPath(const std::string& depend_dir) {
  const PathEdit edit = EditStoredPath(depend_dir, AddDependDirToStoredPath);
  // Ours now, for the uninstall to take off again.
  if (edit == PathEdit::Written) RecordDependPathAdded();
  return edit != PathEdit::Failed;
}

bool RemoveDependDirFromUserPath(const std::string& depend_dir) {
  return EditStoredPath(depend_dir, RemoveDependDirFromStoredPath) != PathEdit::Failed;
}
