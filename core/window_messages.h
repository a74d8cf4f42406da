// Messages from the clients to the installer window, and the way they reach it.
#pragma once

#include <cstdint>
#include <functional>

constexpr unsigned UM_CHECK_AUTH_FAIL = 1127;
constexpr unsigned UM_LOGIN_FAIL = 1128;
constexpr unsigned UM_MODULE_CHECK_DONE = 1130;
constexpr unsigned UM_FILE_DONE = 1131;
constexpr unsigned UM_DOWNLOAD_DONE = 1132;
constexpr unsigned UM_BASE_DONE = 1133;
constexpr unsigned UM_UPDATE_REFUSED = 1134;
constexpr unsigned UM_DL_DISCONNECT = 1135;
constexpr unsigned UM_CHECK_DISCONNECT = 1136;
// Sent by ProcessDL when a module file or the base archive cannot be created, written, flushed
// or closed; lParam 0. Sent synchronously; the download
// connection is closed right after it, so UM_DL_DISCONNECT follows.
constexpr unsigned UM_WRITE_FAIL = 1137;
// Posted by ProcessDL with the first chunk (module file or base archive) that arrives on a
// download connection; lParam 0. After a reconnection it tells the window that data flows again.
constexpr unsigned UM_DL_RECEIVING = 1138;
// Posted by ProcessCheck when the module list outgrows its bound (the check connection is closed
// right after it, so UM_CHECK_DISCONNECT follows), and sent by ProcessDL when a chunk names a path
// that could leave the staging folder or is too long for the install's folders (the download
// connection is closed right after it, so UM_DL_DISCONNECT follows); lParam 0.
constexpr unsigned UM_PACKAGE_REFUSED = 1139;
// Posted by ProcessDL when the manifest, asked for alone (DownloadManifest), is complete; lParam 0.
constexpr unsigned UM_MANIFEST_DONE = 1140;
// Posted by the install controller's own reuse thread when it has copied what an update takes
// from the earlier install; lParam 0.
constexpr unsigned UM_REUSE_DONE = 1141;
// The client messages are the numbers UM_CHECK_AUTH_FAIL..kLastClientMessage.
constexpr unsigned kLastClientMessage = UM_REUSE_DONE;

// PostMessageW / SendMessageW to MainWindowHandle, unless a sink is installed; then the sink gets
// the message instead (`sent` tells a synchronous send from a post). Native builds have no
// window, so without a sink the message is dropped there.
bool PostToMainWindow(unsigned message, uintptr_t w_param, intptr_t l_param);
intptr_t SendToMainWindow(unsigned message, uintptr_t w_param, intptr_t l_param);

using MainWindowSink =
    std::function<void(unsigned message, uintptr_t w_param, intptr_t l_param, bool sent)>;
// Installs (or, with an empty function, removes) the sink. Not thread-safe against concurrent
// posts: install it before the clients run.
void SetMainWindowSink(MainWindowSink sink);
