// ProcessClient: an update-service client's one handle on its connection (connect, send, close,
// bytes received), and the interface through which the connection's session hands the client
// everything it receives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "wire/records.h"

class Protocol;
struct ProcessClientPeer;

// The disconnect text (GBK) and code passed to OnClientDisconnect.
constexpr char kDisconnectProxyErrorText[] = "\xB4\xFA\xC0\xED\xB4\xED\xCE\xF3";  // "代理错误"
constexpr int32_t kDisconnectProxyError = 9;

class ProcessClient {
 public:
  ProcessClient();
  // Releases every connection this client made. Their receive threads must not be able to call
  // into a half-destroyed client: a derived class calls ReleaseConnections() in its own
  // destructor.
  virtual ~ProcessClient();
  ProcessClient(const ProcessClient&) = delete;
  ProcessClient& operator=(const ProcessClient&) = delete;

  // Every decoded message whose code is not 0x0002, 0x0012, 0x3011 or 0x3013. `length` bytes
  // are readable at `message` (at least the 74-byte header).
  virtual void OnMessage(const uint8_t* message, uint32_t length) = 0;
  // The connection dropped or could not be made ("代理错误", 9). `text` is GBK.
  virtual void OnClientDisconnect(const char* text, int32_t code) = 0;
  // Login response: its error code and the `records_length` bytes behind the header.
  virtual void OnLogin(int32_t error_code, const uint8_t* records, uint32_t records_length) = 0;
  // Message 0x3013.
  virtual void OnSessionNotice(int32_t error_code) = 0;
  // Authentication link response; with 0 the session keys are installed.
  virtual void OnAuthentLink(int32_t error_code) = 0;

  // Makes a new connection to dotted-quad `address` (at most 15 characters are kept) and `port`,
  // keyed with the built-in key, and sends the authentication link request; clears the
  // logged-in flag. With port 0 no address is kept and the attempt fails. True when the
  // connection is up; a failed attempt is also reported through OnClientDisconnect. Without a
  // record no attempt is made. The previous connection is kept (not released), so a thread still
  // inside it never meets freed memory. Once the attempt is over it is written to the install
  // log as "SocketSend_ip:<address kept>__port:<port kept>".
  bool Connect(const char* address, uint16_t port, const AccountRecord* account);

  // Sends one message on the current connection (see FrameCodec::EncodeFrame for `type`). False
  // without a connection, or when the send failed (the connection is then closed).
  bool Send(const uint8_t* message, size_t length, char type);

  // Ends the current connection without waiting. The loss reaches OnClientDisconnect once, as
  // any other. Safe from any thread, a receive thread's callback included; nothing without a
  // connection.
  void CloseConnection();

  bool IsConnected() const;
  // Bytes received on the current connection so far; 0 without one. Any thread.
  uint64_t BytesReceived() const;
  bool logged_in() const { return logged_in_; }

 protected:
  // Sends the login request with the account record given to Connect.
  bool SendLogin();

  // Ends the receive threads of every connection, waits for them, and releases the sockets
  // without reporting. After this no callback reaches the client any more. For destructors.
  void ReleaseConnections();

  bool logged_in_ = false;
  // The first 51 bytes of the records of a successful login response, kept unread.
  uint8_t LoginReply[kLoginReplyRecordSize] = {};

 private:
  friend struct ProcessClientPeer;  // tests reach the parts of the current connection

  // Makes the new current connection, not yet connected.
  void NewConnection();

  Protocol* session_ = nullptr;  // the current connection, one of sessions_
  std::vector<std::unique_ptr<Protocol>> sessions_;
};
