// Messages from the clients to the install controller, and the way they reach it.
#pragma once

#include <cstdint>

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
// or closed; lParam kWriteFailDiskFull when the disk was full, else 0. Sent synchronously; the
// download connection is closed right after it, so UM_DL_DISCONNECT follows.
constexpr unsigned UM_WRITE_FAIL = 1137;
constexpr intptr_t kWriteFailDiskFull = 1;
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
// Sent by ProcessDL when a module download reply carries an error code instead of chunks (the
// service does not serve the records asked for: the version the install started with was
// dropped); lParam the error code. The download connection is closed right after it, so
// UM_DL_DISCONNECT follows.
constexpr unsigned UM_DOWNLOAD_REFUSED = 1142;
// The client messages are the numbers UM_CHECK_AUTH_FAIL..kLastClientMessage.
constexpr unsigned kLastClientMessage = UM_DOWNLOAD_REFUSED;

// Where a client reports what happened on its connection: the install controller's side of the
// messages above. Given to each client when it is made; the controller makes the messages reach
// its own thread (the installer window posts them to itself).
class ClientSink {
 public:
  virtual ~ClientSink() = default;
  // Queued for the controller's thread; returns at once.
  virtual void Post(unsigned message, intptr_t l_param) = 0;
  // Handled on the controller's thread before it returns, ahead of what was posted: for what must
  // be decided before the client goes on (a failure before the close it causes).
  virtual void Send(unsigned message, intptr_t l_param) = 0;
};
