// The uninstall's registry records over the Win32 registry functions.
#include "install/uninstall_registry.h"

#include <windows.h>

#include "base/win/registry_key.h"
#include "install/uninstall_entry.h"

namespace {

constexpr char kPublisherKey[] = "Software\\Quillbank";
constexpr char kDependPathAdded[] = "DependPathAdded";
constexpr wchar_t kShortcutValue[] = L"QuillbankShortcut";

std::wstring Wide(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

bool SetText(HKEY key, const wchar_t* name, const wchar_t* text) {
  return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                        static_cast<DWORD>((lstrlenW(text) + 1) * sizeof(wchar_t))) ==
         ERROR_SUCCESS;
}

bool SetNumber(HKEY key, const wchar_t* name, DWORD number) {
  return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number),
                        sizeof number) == ERROR_SUCCESS;
}

}  // namespace

bool WriteUninstallEntry(const std::string& package_number, const UninstallValues& values) {
  RegistryKey key;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, Wide(UninstallKeyPath(package_number)).c_str(), 0,
                      nullptr, 0, KEY_SET_VALUE, nullptr, key.receive(),
                      nullptr) != ERROR_SUCCESS) {
    return false;
  }
  bool ok = SetText(key.get(), L"DisplayName", values.display_name);
  ok = SetText(key.get(), L"DisplayVersion", values.display_version) && ok;
  ok = SetText(key.get(), L"Publisher", values.publisher) && ok;
  ok = SetText(key.get(), L"InstallLocation", values.install_location) && ok;
  ok = SetText(key.get(), L"DisplayIcon", values.display_icon) && ok;
  ok = SetText(key.get(), L"UninstallString", values.uninstall_string) && ok;
  ok = SetText(key.get(), L"QuietUninstallString", values.quiet_uninstall_string) && ok;
  ok = SetText(key.get(), kShortcutValue, values.shortcut) && ok;
  ok = SetNumber(key.get(), L"EstimatedSize", values.estimated_size_kb) && ok;
  ok = SetNumber(key.get(), L"NoModify", 1) && ok;
  ok = SetNumber(key.get(), L"NoRepair", 1) && ok;
  return ok;
}

bool ReadUninstallShortcut(const std::string& package_number, wchar_t* path, unsigned capacity) {
  RegistryKey key;
  if (capacity < 2 || RegOpenKeyExW(HKEY_CURRENT_USER, Wide(UninstallKeyPath(package_number)).c_str(),
                                    0, KEY_QUERY_VALUE, key.receive()) != ERROR_SUCCESS) {
    return false;
  }
  // One character kept back, so the text ends in a zero even if the stored one does not.
  DWORD type = 0;
  DWORD size = (capacity - 1) * sizeof(wchar_t);
  path[capacity - 1] = L'\0';
  if (RegQueryValueExW(key.get(), kShortcutValue, nullptr, &type, reinterpret_cast<BYTE*>(path),
                       &size) != ERROR_SUCCESS ||
      type != REG_SZ) {
    return false;
  }
  path[size / sizeof(wchar_t)] = L'\0';
  return path[0] != L'\0';
}

bool DeleteUninstallEntry(const std::string& package_number) {
  const LONG rc = RegDeleteKeyW(HKEY_CURRENT_USER, Wide(UninstallKeyPath(package_number)).c_str());
  return rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND;
}

std::wstring DeleteAtLogonCommand(const wchar_t* path) {
  wchar_t command[MAX_PATH + 64 + 1024] = L"\"";
  const UINT length = GetSystemDirectoryW(command + 1, MAX_PATH);
  if (length == 0 || length >= MAX_PATH || lstrlenW(path) >= 1024) return std::wstring();
  // By its full path: a cmd.exe found elsewhere would run at the user's logon.
  lstrcatW(command, L"\\cmd.exe\" /c del /f /q \"");
  lstrcatW(command, path);
  lstrcatW(command, L"\"");
  return command;
}

bool DeleteAtNextLogon(const std::string& package_number, const wchar_t* what,
                       const wchar_t* path) {
  const std::wstring command = DeleteAtLogonCommand(path);
  wchar_t name[64] = L"Quillbank";
  RegistryKey key;
  if (command.empty() || package_number.size() + lstrlenW(what) >= 50 ||
      RegCreateKeyExW(HKEY_CURRENT_USER, kRunOnceKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                      key.receive(), nullptr) != ERROR_SUCCESS) {
    return false;
  }
  lstrcatW(name, Wide(package_number).c_str());
  lstrcatW(name, what);
  return SetText(key.get(), name, command.c_str());
}

void RecordDependPathAdded() {
  RegistryKey key;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, kPublisherKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                      key.receive(), nullptr) != ERROR_SUCCESS) {
    return;
  }
  const DWORD one = 1;
  RegSetValueExA(key.get(), kDependPathAdded, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one),
                 sizeof one);
}

bool DependPathAdded() {
  RegistryKey key;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, kPublisherKey, 0, KEY_QUERY_VALUE, key.receive()) !=
      ERROR_SUCCESS) {
    return false;
  }
  DWORD value = 0;
  DWORD type = 0;
  DWORD size = sizeof value;
  return RegQueryValueExA(key.get(), kDependPathAdded, nullptr, &type,
                          reinterpret_cast<BYTE*>(&value), &size) == ERROR_SUCCESS &&
         type == REG_DWORD && value != 0;
}

void ClearDependPathAdded() {
  RegistryKey key;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, kPublisherKey, 0, KEY_SET_VALUE, key.receive()) ==
      ERROR_SUCCESS) {
    RegDeleteValueA(key.get(), kDependPathAdded);
  }
}
