// ProcessClient: the interface through which a protocol session hands an update-service client
// everything it receives, and the client's connection bundle (codec, socket, session).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "wire/records.h"

class FrameCodec;
class TcpSocket;
class Protocol;
struct ConnectionBundle;

// Disconnect texts (GBK) and codes passed to OnClientDisconnect.
constexpr char kDisconnectProxyErrorText[] = "\xB4\xFA\xC0\xED\xB4\xED\xCE\xF3";  // "代理错误"
constexpr int32_t kDisconnectProxyError = 9;
constexpr char kDisconnectTimeoutText[] = "\xC1\xAC\xBD\xD3\xB3\xAC\xCA\xB1";  // "连接超时"
constexpr int32_t kDisconnectTimeout = 8;

class ProcessClient {
 public:
  ProcessClient();
  // Releases every bundle this client built. Their receive threads must not be able to call
  // into a half-destroyed client: a derived class calls StopConnections() in its own destructor.
  virtual ~ProcessClient();
  ProcessClient(const ProcessClient&) = delete;
  ProcessClient& operator=(const ProcessClient&) = delete;

  // Every decoded message whose code is not 0x0002, 0x0012, 0x3011 or 0x3013. `length` bytes
  // are readable at `message` (at least the 74-byte header).
  virtual void OnMessage(const uint8_t* message, uint32_t length) = 0;
  // The connection dropped or could not be made ("代理错误", 9), or the keep-alive loop found it
  // unlinked ("连接超时", 8). `text` is GBK.
  virtual void OnClientDisconnect(const char* text, int32_t code) = 0;
  // The second heartbeat in a row went unanswered (keep-alive loop only).
  virtual void OnHeartbeatTimeout() = 0;
  // Login response: its error code and the `records_length` bytes behind the header.
  virtual void OnLogin(int32_t error_code, const uint8_t* records, uint32_t records_length) = 0;
  // Message 0x3013.
  virtual void OnSessionNotice(int32_t error_code) = 0;
  // Authentication link response; with 0 the session keys are installed.
  virtual void OnAuthentLink(int32_t error_code) = 0;

  // Builds a new connection bundle: a codec keyed with the built-in key, a socket with its TTcp
  // in the initial state (the sockets library started), a session without a thread, all linked
  // to each other and to this client; clears the logged-in flag. The caller then sets the
  // server address and port on codec() and calls its Connect. The previous bundle is kept (not
  // released), so a thread still inside it never meets freed memory.
  void CreateConnection();

  // Ends the receive threads of every bundle and releases their sockets without reporting.
  // After this no callback reaches the client any more.
  void StopConnections();

  FrameCodec* codec() const { return codec_; }
  TcpSocket* socket() const { return socket_; }
  Protocol* session() const { return session_; }
  bool logged_in() const { return logged_in_; }

 protected:
  FrameCodec* codec_ = nullptr;
  TcpSocket* socket_ = nullptr;
  Protocol* session_ = nullptr;
  bool logged_in_ = false;
  // The first 51 bytes of the records of a successful login response, kept unread.
  uint8_t LoginReply[kLoginReplyRecordSize] = {};

 private:
  std::vector<std::unique_ptr<ConnectionBundle>> bundles_;
};
