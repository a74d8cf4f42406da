// The Apps & features entry a successful install registers, and the uninstall it names: what goes,
// and what stays (the rollback floor; the dependency folder and its Path entry while another of
// the publisher's packages is installed beside).
#include "app/uninstall.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "app/exit_codes.h"
#include "app/single_instance.h"
#include "base/deployment_values.h"
#include "base/file_system.h"
#include "base/make_path_dirs.h"
#include "core/install_context.h"
#include "install/rollback_floor.h"
#include "install/system_win.h"
#include "install/uninstall_entry.h"
#include "install/uninstall_registry.h"
#include "test_support/temp_dir.h"

namespace {

const std::wstring kKey =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Quillbank100201";

std::wstring Wide(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

std::wstring TextValue(const wchar_t* name) {
  wchar_t text[2048] = {};
  DWORD size = sizeof text;
  if (RegGetValueW(HKEY_CURRENT_USER, kKey.c_str(), name, RRF_RT_REG_SZ, nullptr, text, &size) !=
      ERROR_SUCCESS) {
    return L"<none>";
  }
  return text;
}

DWORD NumberValue(const wchar_t* name) {
  DWORD value = 0xDEADBEEF;
  DWORD size = sizeof value;
  RegGetValueW(HKEY_CURRENT_USER, kKey.c_str(), name, RRF_RT_REG_DWORD, nullptr, &value, &size);
  return value;
}

bool EntryExists() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kKey.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return false;
  }
  RegCloseKey(key);
  return true;
}

// The user's stored Path, or "<none>".
std::string StoredPath() {
  char text[4096] = {};
  DWORD size = sizeof text;
  if (RegGetValueA(HKEY_CURRENT_USER, "Environment", "Path", RRF_RT_REG_SZ | RRF_NOEXPAND,
                   nullptr, text, &size) != ERROR_SUCCESS) {
    return "<none>";
  }
  return text;
}

void SetStoredPath(const std::string& text) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Environment", 0, nullptr, 0, KEY_SET_VALUE,
                            nullptr, &key, nullptr),
            ERROR_SUCCESS);
  if (text == "<none>") {
    RegDeleteValueA(key, "Path");
  } else {
    RegSetValueExA(key, "Path", 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                   static_cast<DWORD>(text.size() + 1));
  }
  RegCloseKey(key);
}

class UninstallTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_path_ = StoredPath();
    InstallContext& ctx = ctx_;
    ctx.PackageNumber = "100201";
    ctx.ProductName = "qb-uninstall-test";
    ctx.InstallDir = dir_.Join("Quillbank100201");
    ctx.StagingDir = ctx.InstallDir + "temp";
    ctx.DependDir = dir_.Join("QuillbankDependBase");
    // An install as a successful one leaves it: 3000 + 100 bytes, the shortcut, the leftovers of
    // earlier attempts beside it, and the dependency folder.
    Put(ctx.InstallDir + "\\quillbank ix.exe", std::string(3000, 't'));
    Put(ctx.InstallDir + "\\data\\quotes.dat", std::string(100, 'q'));
    ASSERT_TRUE(CreateDesktopShortcut(ctx));
    shortcut_ = DesktopShortcutPath(ctx);
    ASSERT_TRUE(IsOurShortcut(shortcut_, ctx.InstallDir));
    Put(ctx.StagingDir + "\\half.dat", "staged");
    Put(ctx.InstallDir + ".previous\\old.dat", "old");
    Put(ctx.InstallDir + ".failed.log", "log");
    Put(ctx.DependDir + "\\base.dll", "base");
  }
  void TearDown() override {
    DeleteUninstallEntry("100201");
    DeleteFileW(shortcut_.c_str());
    ClearDependPathAdded();
    SetStoredPath(saved_path_);
    RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Quillbank\\100201");
  }
  static void Put(const std::string& path, const std::string& bytes) {
    ASSERT_TRUE(MakePathDirs(path.c_str()));
    ASSERT_TRUE(WriteFileBytes(path, bytes));
  }
  static bool There(const std::string& path) { return PathExists(path.c_str()); }

  TempDir dir_;
  InstallContext ctx_;
  const VersionPair version_{5, 77};
  std::wstring shortcut_;
  std::string saved_path_;
};

TEST_F(UninstallTest, TheEntryNamesTheInstallAndTheProgramBesideIt) {
  const InstallContext& ctx = ctx_;
  ASSERT_TRUE(RegisterUninstall(ctx_, version_));
  const std::wstring install = Wide(ctx.InstallDir);
  EXPECT_EQ(TextValue(L"DisplayName"), L"qb-uninstall-test");
  EXPECT_EQ(TextValue(L"DisplayVersion"), L"9.3.5.77");
  EXPECT_EQ(TextValue(L"Publisher"), Wide(QB_PUBLISHER_NAME));
  EXPECT_EQ(TextValue(L"InstallLocation"), install);
  EXPECT_EQ(TextValue(L"DisplayIcon"), install + L"\\quillbank ix.exe");
  EXPECT_EQ(TextValue(L"UninstallString"), L"\"" + install + L".uninstall.exe\" /uninstall");
  EXPECT_EQ(TextValue(L"QuietUninstallString"),
            L"\"" + install + L".uninstall.exe\" /uninstall /verysilent");
  EXPECT_EQ(NumberValue(L"EstimatedSize"), 4u);  // 3100 bytes, rounded up
  EXPECT_EQ(NumberValue(L"NoModify"), 1u);
  EXPECT_EQ(NumberValue(L"NoRepair"), 1u);
  // The program beside the install is this one.
  uint64_t size = 0;
  EXPECT_TRUE(RegularFileSize((ctx.InstallDir + ".uninstall.exe").c_str(), &size));
  EXPECT_GT(size, 0u);
}

TEST_F(UninstallTest, RemovesWhatTheInstallsLeftAndTheirPathEntryButKeepsTheFloor) {
  const InstallContext& ctx = ctx_;
  ASSERT_TRUE(RegisterUninstall(ctx_, version_));
  VersionPair floor;
  floor.Part3 = 5;
  floor.Part4 = 77;
  ASSERT_TRUE(WriteRollbackFloor("100201", floor));
  SetStoredPath("C:\\Tools;" + ctx.DependDir);
  RecordDependPathAdded();

  EXPECT_EQ(UninstallFromTemp(ctx_, CommandLine()), 0);
  for (const std::string& gone : {ctx.InstallDir, ctx.StagingDir, ctx.InstallDir + ".previous",
                                  ctx.InstallDir + ".failed.log", ctx.InstallDir + ".uninstall.exe",
                                  ctx.DependDir}) {
    EXPECT_FALSE(There(gone)) << gone;
  }
  EXPECT_EQ(GetFileAttributesW(shortcut_.c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_FALSE(EntryExists());
  EXPECT_EQ(StoredPath(), "C:\\Tools");
  EXPECT_FALSE(DependPathAdded());
  VersionPair kept;
  ASSERT_TRUE(ReadRollbackFloor("100201", &kept));
  EXPECT_EQ(kept.Part4, 77);
}

// A shortcut of that name that no longer points at our terminal (the user, or another program,
// put its own there) is not ours to delete.
TEST_F(UninstallTest, AShortcutThatPointsElsewhereNowStays) {
  ASSERT_TRUE(RegisterUninstall(ctx_, version_));
  InstallContext& ctx = ctx_;
  const std::string install = ctx.InstallDir;
  ctx.InstallDir = dir_.Join("Elsewhere");
  ASSERT_TRUE(DeleteFileW(shortcut_.c_str()));
  ASSERT_TRUE(CreateDesktopShortcut(ctx));
  ASSERT_EQ(DesktopShortcutPath(ctx), shortcut_);
  ctx.InstallDir = install;
  EXPECT_FALSE(IsOurShortcut(shortcut_, ctx.InstallDir));

  EXPECT_EQ(UninstallFromTemp(ctx_, CommandLine()), 0);
  EXPECT_FALSE(There(ctx.InstallDir));
  EXPECT_NE(GetFileAttributesW(shortcut_.c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_FALSE(EntryExists());
}

// The uninstall's copy in the temporary folder cannot delete itself; a command under the user's
// RunOnce key does at the next logon, with no more than the user's rights.
TEST(DeleteAtNextLogonTest, TheRecordedCommandDeletesTheFile) {
  TempDir dir;
  const std::string file = dir.Join("Quillbank100201-uninstall.exe");
  ASSERT_TRUE(WriteFileBytes(file, "program"));
  const std::wstring wide = Wide(file);
  ASSERT_TRUE(DeleteAtNextLogon("100201", L"UninstallCopy", wide.c_str()));
  wchar_t command[2048] = {};
  DWORD size = sizeof command;
  ASSERT_EQ(RegGetValueW(HKEY_CURRENT_USER, kRunOnceKey, L"Quillbank100201UninstallCopy",
                         RRF_RT_REG_SZ, nullptr, command, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(std::wstring(command), DeleteAtLogonCommand(wide.c_str()));
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, kRunOnceKey, 0, KEY_SET_VALUE, &key), ERROR_SUCCESS);
  RegDeleteValueW(key, L"Quillbank100201UninstallCopy");
  RegCloseKey(key);
  // Run as the logon would run it.
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  ASSERT_TRUE(CreateProcessW(nullptr, command, nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                             nullptr, &startup, &process));
  WaitForSingleObject(process.hProcess, INFINITE);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  EXPECT_FALSE(PathExists(file.c_str()));
}

// An uninstall started while the installer of the package runs (after "Open" it deletes the old
// install, then ends) waits for it, and gives up only after its time.
TEST(UninstallWaitTest, WaitsForTheRunningInstallerToEnd) {
  HANDLE held = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  // The installer: a mutex is owned by the thread that took it.
  std::thread installer([&] {
    SingleInstance first("990002");
    EXPECT_TRUE(first.first());
    SetEvent(held);
    WaitForSingleObject(release, INFINITE);
  });
  WaitForSingleObject(held, INFINITE);
  SingleInstance uninstall("990002");
  EXPECT_FALSE(uninstall.first());
  EXPECT_FALSE(uninstall.WaitForFirst(0));
  SetEvent(release);
  EXPECT_TRUE(uninstall.WaitForFirst(60000));
  EXPECT_TRUE(uninstall.first());
  installer.join();
  CloseHandle(held);
  CloseHandle(release);
}

TEST_F(UninstallTest, AnotherPackageBesideKeepsTheDependencyFolderAndItsPathEntry) {
  const InstallContext& ctx = ctx_;
  ASSERT_TRUE(RegisterUninstall(ctx_, version_));
  Put(dir_.Join("Quillbank100777") + "\\module.info", "another package");
  SetStoredPath(ctx.DependDir);
  RecordDependPathAdded();

  EXPECT_EQ(UninstallFromTemp(ctx_, CommandLine()), 0);
  EXPECT_FALSE(There(ctx.InstallDir));
  EXPECT_FALSE(EntryExists());
  EXPECT_EQ(ReadFileBytes(ctx.DependDir + "\\base.dll"), "base");
  EXPECT_EQ(StoredPath(), ctx.DependDir);
  // The last of the publisher's uninstalls takes it off.
  EXPECT_TRUE(DependPathAdded());
}

TEST_F(UninstallTest, APathEntryTheInstallsDidNotAddStays) {
  const InstallContext& ctx = ctx_;
  ASSERT_TRUE(RegisterUninstall(ctx_, version_));
  SetStoredPath(ctx.DependDir + ";C:\\Tools");

  EXPECT_EQ(UninstallFromTemp(ctx_, CommandLine()), 0);
  EXPECT_FALSE(There(ctx.DependDir));
  EXPECT_EQ(StoredPath(), ctx.DependDir + ";C:\\Tools");
}

// The second stage's result goes back on the pipe the first waits on, before anything else: a
// file the terminal holds keeps the install (and the entry) and says so in the code, with no
// message in the silent modes (a box would hang this test).
TEST_F(UninstallTest, TheResultGoesBackOnThePipeAndAHeldFileSaysSo) {
  const InstallContext& ctx = ctx_;
  ASSERT_TRUE(RegisterUninstall(ctx_, version_));
  const std::string held = ctx.InstallDir + "\\quillbank ix.exe";
  HANDLE file = CreateFileA(held.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  for (const bool holding : {true, false}) {
    SCOPED_TRACE(holding ? "a file held" : "nothing held");
    if (!holding) CloseHandle(file);
    SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    ASSERT_TRUE(CreatePipe(&read_end, &write_end, &inherited, 0));
    CommandLine command;
    command.action = CommandAction::UninstallRun;
    command.ui = UiMode::VerySilent;
    command.result_pipe = reinterpret_cast<uintptr_t>(write_end);
    const int code = UninstallFromTemp(ctx_, command);  // closes the writing end
    DWORD sent = 0xDEADBEEF;
    DWORD read = 0;
    EXPECT_TRUE(ReadFile(read_end, &sent, sizeof sent, &read, nullptr));
    EXPECT_EQ(read, sizeof sent);
    EXPECT_EQ(static_cast<int>(sent), code);
    // Nothing more: the pipe was closed after the result.
    EXPECT_FALSE(ReadFile(read_end, &sent, sizeof sent, &read, nullptr));
    CloseHandle(read_end);
    EXPECT_EQ(code, holding ? kExitFileHeld : kExitSuccess);
    EXPECT_EQ(There(ctx.InstallDir), holding);
    EXPECT_EQ(EntryExists(), holding);
  }
}

}  // namespace
