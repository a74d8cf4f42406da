// The system integration under Wine: special folders, shell delete, the desktop shortcut, the
// user's stored Path, the Windows-version decision, the process Path, ending a running terminal
// and the XCOPY run.
#include "install/system.h"

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "base/special_folder.h"
#include "base/win/com_ptr.h"
#include "base/win/registry_key.h"
#include "base/win/scoped_handle.h"
#include "core/install_context.h"
#include "install/system_win.h"
#include "install/testing/unzip_test_support.h"
#include "test_support/temp_dir.h"

namespace {

const char kDepend[] = "C:\\users\\qb\\AppData\\Roaming\\QuillbankDependBase";

// Saves HKCU\Environment "Path" and puts it back when the test ends.
class StoredPathGuard {
 public:
  StoredPathGuard() {
    RegOpenKeyExA(HKEY_CURRENT_USER, "Environment", 0, KEY_READ | KEY_WRITE, key_.receive());
    DWORD size = 0;
    existed_ = RegQueryValueExA(key_.get(), "Path", nullptr, &type_, nullptr, &size) ==
               ERROR_SUCCESS;
    if (existed_) {
      data_.resize(size);
      RegQueryValueExA(key_.get(), "Path", nullptr, &type_, data_.data(), &size);
    }
  }
  ~StoredPathGuard() {
    if (existed_) {
      RegSetValueExA(key_.get(), "Path", 0, type_, data_.data(), static_cast<DWORD>(data_.size()));
    } else {
      RegDeleteValueA(key_.get(), "Path");
    }
  }
  HKEY key() const { return key_.get(); }

 private:
  RegistryKey key_;
  bool existed_ = false;
  DWORD type_ = REG_SZ;
  std::vector<BYTE> data_;
};

bool ReadStored(HKEY key, std::string* text, DWORD* type) {
  DWORD size = 0;
  if (RegQueryValueExA(key, "Path", nullptr, type, nullptr, &size) != ERROR_SUCCESS) return false;
  std::vector<char> data(size + 1, '\0');
  if (RegQueryValueExA(key, "Path", nullptr, type, reinterpret_cast<BYTE*>(data.data()), &size) !=
      ERROR_SUCCESS) {
    return false;
  }
  *text = data.data();
  return true;
}

void SetStored(HKEY key, DWORD type, const std::string& text) {
  ASSERT_EQ(RegSetValueExA(key, "Path", 0, type, reinterpret_cast<const BYTE*>(text.c_str()),
                           static_cast<DWORD>(text.size() + 1)),
            ERROR_SUCCESS);
}

// Counts the "Environment" setting-change broadcasts that reach a hidden top-level window of this
// thread. A broadcast sent from this thread calls the window's procedure before it returns.
class EnvironmentBroadcasts {
 public:
  EnvironmentBroadcasts() {
    WNDCLASSW wc = {};
    wc.lpfnWndProc = &Proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"qb_environment_broadcasts";
    RegisterClassW(&wc);  // fails harmlessly when a test before registered it
    window_ = CreateWindowExW(0, wc.lpszClassName, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                              wc.hInstance, nullptr);
    SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  }
  ~EnvironmentBroadcasts() { DestroyWindow(window_); }
  EnvironmentBroadcasts(const EnvironmentBroadcasts&) = delete;
  EnvironmentBroadcasts& operator=(const EnvironmentBroadcasts&) = delete;
  int count() const { return count_; }

 private:
  static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM w_param, LPARAM l_param) {
    if (message == WM_SETTINGCHANGE && l_param != 0 &&
        lstrcmpW(reinterpret_cast<const wchar_t*>(l_param), L"Environment") == 0) {
      auto* self =
          reinterpret_cast<EnvironmentBroadcasts*>(GetWindowLongPtrW(window, GWLP_USERDATA));
      if (self != nullptr) ++self->count_;
    }
    return DefWindowProcW(window, message, w_param, l_param);
  }
  HWND window_ = nullptr;
  int count_ = 0;
};

// Starts a program without a window; the handle lets the test see whether it still runs.
HANDLE Start(const std::wstring& exe, DWORD* process_id = nullptr) {
  std::wstring command = L"\"" + exe + L"\"";
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(exe.c_str(), &command[0], nullptr, nullptr, /*bInheritHandles=*/FALSE,
                      CREATE_NO_WINDOW, nullptr, nullptr, &startup, &info)) {
    return nullptr;
  }
  CloseHandle(info.hThread);
  if (process_id != nullptr) *process_id = info.dwProcessId;
  return info.hProcess;
}

std::wstring Wide(const std::string& text) {
  std::wstring wide(text.size() + 1, L'\0');
  const int n = MultiByteToWideChar(936, 0, text.c_str(), -1, &wide[0],
                                    static_cast<int>(wide.size()));
  wide.resize(n > 0 ? n - 1 : 0);
  return wide;
}

TEST(SystemWinTest, SpecialFoldersAreAppendedFromTheShell) {
  std::string appdata = "prefix:";
  GetSpecialFolder(kCsidlAppData, appdata);
  ASSERT_NE(std::getenv("APPDATA"), nullptr);
  EXPECT_EQ(appdata, std::string("prefix:") + std::getenv("APPDATA"));
  std::string desktop;
  GetSpecialFolder(kCsidlDesktopDirectory, desktop);
  ASSERT_FALSE(desktop.empty());
  EXPECT_NE(GetFileAttributesA(desktop.c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);
}

TEST(SystemWinTest, DeletePathRemovesATreeAndFailsOnAMissingPath) {
  TempDir temp;
  const std::string tree = temp.Join("tree");
  ASSERT_TRUE(CreateDirectoryA(tree.c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryA((tree + "\\sub").c_str(), nullptr));
  ASSERT_TRUE(WriteFileBytes(tree + "\\sub\\f.txt", "x"));
  EXPECT_TRUE(DeletePath(tree.c_str()));
  EXPECT_EQ(GetFileAttributesA(tree.c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_FALSE(DeletePath(tree.c_str()));
}

// What the shell's delete did and ours must too: read-only files and folders go; a file a program
// holds open keeps the delete from succeeding and is named, and everything else goes.
TEST(SystemWinTest, DeletePathTakesReadOnlyFilesAndNamesAHeldOne) {
  TempDir temp;
  const std::string tree = temp.Join("tree");
  ASSERT_TRUE(CreateDirectoryA(tree.c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryA((tree + "\\ro").c_str(), nullptr));
  ASSERT_TRUE(WriteFileBytes(tree + "\\ro\\readonly.dat", "r"));
  ASSERT_TRUE(SetFileAttributesA((tree + "\\ro\\readonly.dat").c_str(), FILE_ATTRIBUTE_READONLY));
  ASSERT_TRUE(SetFileAttributesA((tree + "\\ro").c_str(), FILE_ATTRIBUTE_READONLY));
  ASSERT_TRUE(WriteFileBytes(tree + "\\a.dat", "a"));
  ASSERT_TRUE(WriteFileBytes(tree + "\\held.dat", "h"));
  ASSERT_TRUE(WriteFileBytes(tree + "\\z.dat", "z"));
  std::string left;
  {
    // Held as a running program holds its files: no sharing of deletion.
    ScopedHandle held(CreateFileA((tree + "\\held.dat").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(held.valid());
    EXPECT_FALSE(DeletePath(tree.c_str(), &left));
  }
  EXPECT_EQ(left, tree + "\\held.dat");
  EXPECT_EQ(GetFileAttributesA((tree + "\\ro").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetFileAttributesA((tree + "\\a.dat").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetFileAttributesA((tree + "\\z.dat").c_str()), INVALID_FILE_ATTRIBUTES);
  // Let go, the rest goes.
  left.clear();
  EXPECT_TRUE(DeletePath(tree.c_str(), &left));
  EXPECT_EQ(left, "");
  EXPECT_EQ(GetFileAttributesA(tree.c_str()), INVALID_FILE_ATTRIBUTES);
}

// The target a shortcut file names, or empty when it is no shortcut.
std::wstring ShortcutTarget(const std::wstring& link) {
  std::wstring result;
  if (FAILED(CoInitialize(nullptr))) return result;
  {
    ComPtr<IShellLinkW> shell_link;
    ComPtr<IPersistFile> file;
    wchar_t target[MAX_PATH] = {};
    if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_IShellLinkW, shell_link.receive())) &&
        SUCCEEDED(shell_link->QueryInterface(IID_IPersistFile, file.receive())) &&
        SUCCEEDED(file->Load(link.c_str(), STGM_READ)) &&
        SUCCEEDED(shell_link->GetPath(target, MAX_PATH, nullptr, 0))) {
      result = target;
    }
  }
  CoUninitialize();
  return result;
}

bool WriteWide(const std::wstring& path, const std::string& bytes) {
  ScopedHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  DWORD written = 0;
  return file.valid() &&
         WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
         written == bytes.size();
}

std::string ReadWide(const std::wstring& path) {
  ScopedHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr));
  char buffer[256] = {};
  DWORD read = 0;
  if (!file.valid() || !ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr)) return "<none>";
  return std::string(buffer, read);
}

TEST(SystemWinTest, DesktopShortcutPointsAtTheInstalledTerminal) {
  InstallContext ctx;
  // A package number of its own: tests running beside this one make Quillbank100201.lnk.
  ctx.PackageNumber = "990001";
  ctx.ProductName = "\xE1\xB0\xD6\xDB\xB2\xE2\xCA\xD4";  // a Chinese product name, GBK
  ctx.InstallDir = "C:\\users\\qb\\AppData\\Roaming\\Quillbank100201";
  std::string desktop;
  GetSpecialFolder(kCsidlDesktopDirectory, desktop);
  const std::wstring link = Wide(desktop + "\\" + ctx.ProductName + ".lnk");
  const std::wstring fallback = Wide(desktop + "\\Quillbank990001.lnk");
  const std::wstring terminal = Wide(ctx.InstallDir + "\\quillbank ix.exe");
  // What an earlier run cut short may have left in the test prefix.
  DeleteFileW(link.c_str());
  DeleteFileW(fallback.c_str());

  ASSERT_TRUE(CreateDesktopShortcut(ctx));
  EXPECT_EQ(ShortcutTarget(link), terminal);
  EXPECT_TRUE(IsOurShortcut(link, ctx.InstallDir));
  // Made again (a repair, an update), our own shortcut is replaced in place.
  ASSERT_TRUE(CreateDesktopShortcut(ctx));
  EXPECT_EQ(DesktopShortcutPath(ctx), link);
  EXPECT_EQ(GetFileAttributesW(fallback.c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_TRUE(DeleteFileW(link.c_str()));

  // A file of that name that is not our shortcut is never replaced: the shortcut takes the
  // package's own name instead.
  ASSERT_TRUE(WriteWide(link, "someone else's"));
  ASSERT_TRUE(CreateDesktopShortcut(ctx));
  EXPECT_EQ(ReadWide(link), "someone else's");
  EXPECT_EQ(ShortcutTarget(fallback), terminal);
  EXPECT_EQ(DesktopShortcutPath(ctx), fallback);
  // And when that name is taken by someone else too, there is no shortcut.
  EXPECT_TRUE(DeleteFileW(fallback.c_str()));
  ASSERT_TRUE(WriteWide(fallback, "another one's"));
  EXPECT_EQ(DesktopShortcutPath(ctx), L"");
  EXPECT_FALSE(CreateDesktopShortcut(ctx));
  EXPECT_EQ(ReadWide(fallback), "another one's");
  EXPECT_EQ(ReadWide(link), "someone else's");
  EXPECT_TRUE(DeleteFileW(fallback.c_str()));
  EXPECT_TRUE(DeleteFileW(link.c_str()));

  // A product name that is no plain file name never becomes part of a path.
  for (const char* name : {"..\\Other App", "a/b", "CON", "x:y", "dot.", "", "a|b"}) {
    ctx.ProductName = name;
    EXPECT_EQ(DesktopShortcutPath(ctx), fallback) << name;
  }
  ctx.ProductName = "..\\Other App";
  ASSERT_TRUE(CreateDesktopShortcut(ctx));
  EXPECT_EQ(ShortcutTarget(fallback), terminal);
  EXPECT_TRUE(DeleteFileW(fallback.c_str()));

  // A target path that does not fit 1024 characters makes no shortcut.
  ctx.InstallDir = "C:\\" + std::string(1100, 'd');
  EXPECT_FALSE(CreateDesktopShortcut(ctx));
  EXPECT_EQ(GetFileAttributesW(fallback.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST(SystemWinTest, UserPathGetsDependDirOnceAndKeepsItsType) {
  StoredPathGuard guard;

  RegDeleteValueA(guard.key(), "Path");
  EXPECT_TRUE(AddToUserPath(kDepend));
  std::string text;
  DWORD type = 0;
  ASSERT_TRUE(ReadStored(guard.key(), &text, &type));
  EXPECT_EQ(text, kDepend);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));

  SetStored(guard.key(), REG_SZ, "C:\\Tools");
  EXPECT_TRUE(AddToUserPath(kDepend));
  ASSERT_TRUE(ReadStored(guard.key(), &text, &type));
  EXPECT_EQ(text, std::string("C:\\Tools;") + kDepend);

  // Already there after a ";": nothing is written, and nobody is told of a change. Seen without
  // the clock: a change notice armed on the key (Windows signals it for any write; Wine's
  // registry only for one that changes the value, as a rewrite of the same text would not) and
  // the broadcast that follows each write, which reaches a window of this thread before
  // AddToUserPath returns.
  EnvironmentBroadcasts broadcasts;
  ScopedHandle written(CreateEventW(nullptr, /*bManualReset=*/TRUE, FALSE, nullptr));
  ASSERT_EQ(RegNotifyChangeKeyValue(guard.key(), FALSE, REG_NOTIFY_CHANGE_LAST_SET, written.get(),
                                    /*fAsynchronous=*/TRUE),
            ERROR_SUCCESS);
  EXPECT_TRUE(AddToUserPath(kDepend));
  EXPECT_EQ(WaitForSingleObject(written.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(broadcasts.count(), 0);
  // Both do see a write: another text, extended.
  SetStored(guard.key(), REG_SZ, "C:\\Other");
  EXPECT_EQ(WaitForSingleObject(written.get(), 0), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_TRUE(AddToUserPath(kDepend));
  EXPECT_EQ(broadcasts.count(), 1);

  SetStored(guard.key(), REG_EXPAND_SZ, "%USERPROFILE%\\bin");
  EXPECT_TRUE(AddToUserPath(kDepend));
  ASSERT_TRUE(ReadStored(guard.key(), &text, &type));
  EXPECT_EQ(text, std::string("%USERPROFILE%\\bin;") + kDepend);
  EXPECT_EQ(type, static_cast<DWORD>(REG_EXPAND_SZ));

  // Longer than the 8192 bytes a fixed buffer would hold: read and extended whole.
  const std::string long_path = "C:\\" + std::string(9000, 'a');
  SetStored(guard.key(), REG_SZ, long_path);
  EXPECT_TRUE(AddToUserPath(kDepend));
  ASSERT_TRUE(ReadStored(guard.key(), &text, &type));
  EXPECT_EQ(text, long_path + ";" + kDepend);
}

// Runs the probe with Wine told to report `version` to it; returns its exit code.
DWORD RunBaseZipProbe(const char* version) {
  const std::string key = "Software\\Wine\\AppDefaults\\install_base_zip_probe.exe";
  RegistryKey app;
  RegCreateKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                  app.receive(), nullptr);
  RegSetValueExA(app.get(), "Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(version),
                 static_cast<DWORD>(strlen(version) + 1));
  app.reset();
  SetEnvironmentVariableA("QB_PROBE_DEPEND_DIR", kDepend);
  DWORD exit_code = 255;
  HANDLE probe = Start(GetExeDir() + L"install_base_zip_probe.exe");
  if (probe != nullptr) {
    WaitForSingleObject(probe, 30000);
    GetExitCodeProcess(probe, &exit_code);
    CloseHandle(probe);
  }
  RegDeleteKeyA(HKEY_CURRENT_USER, key.c_str());
  return exit_code;
}

TEST(SystemWinTest, BaseZipIsNeededOnWindows7ButNotOn10) {
  StoredPathGuard guard;
  RegDeleteValueA(guard.key(), "Path");
  EXPECT_EQ(RunBaseZipProbe("win10"), 100u);  // Windows 10, not needed
  std::string text;
  DWORD type = 0;
  EXPECT_FALSE(ReadStored(guard.key(), &text, &type));

  EXPECT_EQ(RunBaseZipProbe("win7"), 61u);  // Windows 6.1, needed
  ASSERT_TRUE(ReadStored(guard.key(), &text, &type));
  EXPECT_EQ(text, kDepend);
}

TEST(SystemWinTest, ProcessPathGetsDependDirOnce) {
  char saved[32768] = {};
  GetEnvironmentVariableA("Path", saved, sizeof saved);
  SetEnvironmentVariableA("Path", "C:\\windows\\system32");
  ExtendProcessPath(kDepend);
  ExtendProcessPath(kDepend);
  char path[32768] = {};
  GetEnvironmentVariableA("Path", path, sizeof path);
  EXPECT_EQ(std::string(path), std::string("C:\\windows\\system32;") + kDepend);
  SetEnvironmentVariableA("Path", saved);
}

TEST(SystemWinTest, KillRunningTerminalEndsOnlyTheOneFromItsOwnFolder) {
  // None running: back at once, without the pause that follows an ending.
  const ULONGLONG start = GetTickCount64();
  EXPECT_EQ(KillRunningTerminal(), 0);
  EXPECT_LT(GetTickCount64() - start, 2000u);

  TempDir other;
  const std::string other_exe = other.Join("quillbank ix.exe");
  const std::wstring own_exe = GetExeDir() + L"quillbank ix.exe";
  ASSERT_TRUE(CopyFileW(own_exe.c_str(), Wide(other_exe).c_str(), FALSE));
  ScopedHandle from_elsewhere(Start(Wide(other_exe)));
  ASSERT_TRUE(from_elsewhere.valid());
  DWORD own_id = 0;
  ScopedHandle from_own_folder(Start(own_exe, &own_id));
  ASSERT_TRUE(from_own_folder.valid());
  // Its modules are listed once it has started up.
  std::wstring image;
  for (int i = 0; i < 600 && image.empty(); ++i, Sleep(50)) image = GetProcessImagePath(own_id);
  EXPECT_EQ(image, own_exe);

  EXPECT_EQ(KillRunningTerminal(), 0);
  EXPECT_EQ(WaitForSingleObject(from_own_folder.get(), 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(from_elsewhere.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
  TerminateProcess(from_elsewhere.get(), 0);
  WaitForSingleObject(from_elsewhere.get(), 5000);
}

TEST(SystemWinTest, LaunchTerminalStartsTheInstalledTerminalWithEndAndDependDirOnItsPath) {
  TempDir temp;
  InstallContext ctx;
  ctx.InstallDir = temp.path();
  ctx.DependDir = kDepend;
  char saved[32768] = {};
  GetEnvironmentVariableA("Path", saved, sizeof saved);
  SetEnvironmentVariableA("Path", "C:\\windows\\system32");
  ASSERT_TRUE(CopyFileW((GetExeDir() + L"quillbank ix.exe").c_str(),
                        Wide(temp.Join("quillbank ix.exe")).c_str(), FALSE));

  EXPECT_NE(LaunchTerminal(ctx), 0);
  std::string report;
  for (int i = 0; i < 600 && report.find('\n') == std::string::npos; ++i, Sleep(50)) {
    report = ReadFileBytes(temp.Join("launched.txt"));
  }
  SetEnvironmentVariableA("Path", saved);
  const size_t line_end = report.find('\n');
  ASSERT_NE(line_end, std::string::npos);
  EXPECT_EQ(report.substr(0, line_end), "\"" + temp.path() + "\\quillbank ix.exe\" end");
  EXPECT_EQ(report.substr(line_end + 1), std::string("C:\\windows\\system32;") + kDepend);

  ctx.InstallDir = "C:\\" + std::string(2100, 'd');
  EXPECT_EQ(LaunchTerminal(ctx), 0);
}

TEST(SystemWinTest, RunAndWaitCopiesWithXcopyAndReportsAFailedCommand) {
  TempDir temp;
  const std::string staging = temp.Join("Quillbank100201temp");
  const std::string install = temp.Join("Quillbank100201");
  for (const char* folder : {"", "\\a", "\\a\\b", "\\empty"}) {
    ASSERT_TRUE(CreateDirectoryA((staging + folder).c_str(), nullptr)) << folder;
  }
  ASSERT_TRUE(WriteFileBytes(staging + "\\module.info", "info"));
  ASSERT_TRUE(WriteFileBytes(staging + "\\a\\b\\deep.txt", "deep"));
  char command[1024];
  snprintf(command, sizeof command, "cmd.exe /c XCOPY \"%s\" \"%s\\\" /S /E /Y /C",
           staging.c_str(), install.c_str());
  EXPECT_TRUE(RunAndWait(command));
  EXPECT_EQ(ListTree(install), ListTree(staging));
  EXPECT_EQ(ReadFileBytes(install + "\\a\\b\\deep.txt"), "deep");

  unsigned long exit_code = 0;
  EXPECT_FALSE(RunAndWait("cmd.exe /c exit 3", &exit_code));
  EXPECT_EQ(exit_code, 3u);
  EXPECT_FALSE(RunAndWait("no-such-program-here.exe", &exit_code));
  EXPECT_EQ(exit_code, 0xFFFFFFFFu);
}

}  // namespace
