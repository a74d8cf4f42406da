// Protocol: one end of a connection to the update service, as one object: its TCP transport, its
// frame codec, the opening exchange (the authentication link request, the session keys of the
// reply, the login request) and the routing of every received message to the client it serves.
#pragma once

#include <cstddef>
#include <cstdint>

#include "net/frame_codec.h"
#include "net/tcp.h"
#include "wire/frame_format.h"
#include "wire/message.h"
#include "wire/records.h"

class ProcessClient;

class Protocol : public TTcp::TNotify {
 public:
  static constexpr size_t kAddressSize = 16;  // dotted quad, at most 15 characters and NUL

  // Reports everything it receives, and the loss of the connection, to `client`.
  explicit Protocol(ProcessClient& client);
  Protocol(const Protocol&) = delete;
  Protocol& operator=(const Protocol&) = delete;

  // Keeps at most 15 characters of dotted-quad `address` and `port` (nothing of either when one
  // is missing, so the attempt then fails). With a record: keeps a copy of it and connects;
  // true when the connection is up and the authentication link request went out, a failure is
  // reported through the client's OnClientDisconnect. Without a record no attempt is made and
  // the result is false.
  bool Connect(const char* address, uint16_t port, const AccountRecord* record);

  // Sends one message as one frame (see FrameCodec::EncodeFrame for `type`) in one transport
  // call. False when it does not fit one frame, the transport is not connected, or the send
  // failed (the connection is then closed).
  bool Send(const uint8_t* message, size_t length, char type);
  // Sends the login request (code 0x3010) with the stored account record, type "6".
  bool SendLogin();

  // Ends the connection if one is open; the loss is reported as any other. Any thread.
  void Close();
  // Ends the receive thread and waits for it, then closes without reporting: after this nothing
  // reaches the client any more.
  void Release();

  bool IsConnected() const { return tcp_.IsConnected(); }
  // Bytes received on this connection so far. Any thread.
  uint64_t BytesReceived() const { return tcp_.BytesReceived(); }

  // Decodes every complete frame at the start of `data`, dispatches each message and returns
  // how many bytes may be discarded: up to the first incomplete frame, or everything when the
  // stream cannot be decoded. Receive thread only (it works in the codec's buffers).
  int ParseFrames(const uint8_t* data, uint32_t length);

  // Routes one decoded message by its code. Messages shorter than the header are ignored.
  void Dispatch(const uint8_t* message, uint32_t length);

  const char* server_address() const { return server_address_; }
  uint16_t server_port() const { return server_port_; }
  const uint8_t* account() const { return account_; }
  FrameCodec& codec() { return codec_; }
  const FrameCodec& codec() const { return codec_; }

 private:
  // The transport's reports, for the transport alone. The connection is up: sends the authentication link request (the
  // connect fails without it, since the service would never answer). Lost: tells the client
  // ("代理错误", 9). Received: the frame parser.
  bool OnConnect(TTcp* tcp) override;
  void OnDisconnect(TTcp* tcp) override;
  int OnRecv(TTcp* tcp, const uint8_t* data, uint32_t length) override;

  // The 119-byte authentication link request under the built-in key (type "4").
  bool SendAuthentLink();
  void OnAuthentLinkResponse(const uint8_t* message, uint32_t length, int32_t error_code);

  ProcessClient& client_;
  FrameCodec codec_;
  char server_address_[kAddressSize] = {};
  uint16_t server_port_ = 0;
  uint8_t account_[kAccountRecordSize] = {};
  // Last, so that it goes first: its destructor ends the receive thread, which works in the
  // members above.
  TTcp tcp_;
};
