// The install controller inside the real installer window and modal loop, for tests: a script
// run inside the loop, the clients' messages that reached the window, and folders for the install
// step.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "app/install_controller.h"
#include "base/file_system.h"
#include "base/make_path_dirs.h"
#include "core/deployment.h"
#include "core/install_context.h"
#include "install/system.h"
#include "net/socket_ops.h"
#include "test_support/temp_dir.h"
#include "ui/drawing_objects.h"
#include "ui/quillbank_dlg.h"
#include "ui/testing/test_capture.h"

constexpr UINT kRunScript = WM_APP + 0x3A1;

// The real controller, with a script run inside the window's modal loop and a record of the
// clients' messages that reached the window.
class ScriptedController : public InstallController {
 public:
  using Script = std::function<void(TQuillbankDlg&, ScriptedController&)>;
  ScriptedController(const UpdateServers& servers, Script script,
                     const uint8_t* package_key = nullptr)
      : InstallController(servers, package_key), script_(std::move(script)) {}

  void OnCreate(TQuillbankDlg& dlg) override {
    InstallController::OnCreate(dlg);
    PostMessageW(dlg.Handle(), kRunScript, 0, 0);
  }
  bool OnMessage(TQuillbankDlg& dlg, UINT message, WPARAM w_param, LPARAM l_param) override {
    if (message == kRunScript) {
      script_(dlg, *this);
      if (dlg.Handle() != nullptr) dlg.Close();
      return true;
    }
    messages.push_back(message);
    return InstallController::OnMessage(dlg, message, w_param, l_param);
  }

  int Count(UINT message) const {
    int n = 0;
    for (UINT m : messages) n += m == message;
    return n;
  }

  std::vector<UINT> messages;

 private:
  Script script_;
};

// Dispatches the thread's messages until `done` holds or the time is up. Callers only wait for
// what must come, so the time is generous for a busy machine; a message wakes the wait at once.
inline bool PumpUntil(const std::function<bool()>& done, int timeout_ms = 30000) {
  const DWORD start = GetTickCount();
  while (!done()) {
    if (GetTickCount() - start > static_cast<DWORD>(timeout_ms)) return false;
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    // What other threads do (a client's connection, a file written) may decide `done` without a
    // message for this thread: look again after a short while at the latest.
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
  }
  return true;
}

inline UpdateServers Servers(const char* pattern, uint16_t port) {
  UpdateServers servers = {};
  std::snprintf(servers.HostPattern, sizeof servers.HostPattern, "%s", pattern);
  servers.Port = port;
  return servers;
}

// A port on which nothing listens on 127.0.0.x.
inline uint16_t FreePort() {
  SocketsLibrary sockets;
  uint16_t port = 0;
  UniqueSocket listener(OpenListener("127.0.0.1", 0, 1, &port));
  return port;
}

class InstallControllerTest : public ::testing::Test {
 protected:
  // Start-up has the sockets library started before the window exists; so do the tests.
  static void SetUpTestSuite() {
    UsePrivateDesktop();
    CreateDrawingObjects();
    StartSockets();
  }
  static void TearDownTestSuite() {
    StopSockets();
    DeleteDrawingObjects();
  }

  void SetUp() override {
    InstallContext& ctx = InstallContext::Get();
    ctx.LanguageId = 0x0409;
    ctx.InstallDir.clear();
    ModuleList::Get().ClearForTest();
  }

  void Run(const UpdateServers& servers, const ScriptedController::Script& script,
           const uint8_t* package_key = nullptr) {
    ScriptedController controller(servers, script, package_key);
    TQuillbankDlg dlg(&controller);
    dlg.RunModal();
  }
};

class InstallStepTest : public InstallControllerTest {
 protected:
  // Puts the three folders in a temporary folder: an old install, and a staging folder with the
  // files of the new one (unless `stage` is false).
  void Prepare(bool old_install, bool stage) {
    InstallContext& ctx = InstallContext::Get();
    ctx.InstallDir = dir_.Join("Quillbank100201");
    ctx.StagingDir = ctx.InstallDir + "temp";
    ctx.DependDir = dir_.Join("QuillbankDependBase");
    ctx.ProductName = "qb-test-product";
    if (old_install) {
      ASSERT_TRUE(MakePathDirs((ctx.InstallDir + "\\old.dat").c_str()));
      ASSERT_TRUE(WriteFileBytes(ctx.InstallDir + "\\old.dat", "old install"));
    }
    if (stage) {
      ASSERT_TRUE(MakePathDirs((ctx.StagingDir + "\\data\\x").c_str()));
      ASSERT_TRUE(WriteFileBytes(ctx.StagingDir + "\\quillbank ix.exe", "new terminal"));
      ASSERT_TRUE(WriteFileBytes(ctx.StagingDir + "\\data\\quotes.dat", "new data"));
    } else {
      DeletePath(ctx.StagingDir.c_str());
    }
  }
  // A ".previous" beside the install folder, as a run that ended during its copy leaves it.
  static std::string PutPrevious() {
    const std::string aside = InstallContext::Get().InstallDir + ".previous";
    EXPECT_TRUE(MakePathDirs((aside + "\\good.dat").c_str()));
    EXPECT_TRUE(WriteFileBytes(aside + "\\good.dat", "last good install"));
    return aside;
  }
  // Opens a staged file without sharing: the copy cannot read it and goes on without it.
  static HANDLE HoldStagedFile() {
    const std::string path = InstallContext::Get().StagingDir + "\\data\\quotes.dat";
    return CreateFileA(path.c_str(), GENERIC_READ, /*dwShareMode=*/0, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  // Opens a folder so that it cannot be renamed (no delete sharing); what is in it can still
  // be listed and read.
  static HANDLE HoldFolder(const std::string& folder) {
    return CreateFileA(folder.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  }
  TempDir dir_;
};
