// FrameCodec: the per-connection codec state (the built-in key context and the two session key
// contexts, the server address, the account record) and the send side of the connection.
#pragma once

#include <cstddef>
#include <cstdint>

#include "wire/cipher_context.h"
#include "wire/frame_format.h"
#include "wire/message.h"
#include "wire/records.h"

class TTcp;

class FrameCodec {
 public:
  static constexpr size_t kAddressSize = 16;  // dotted quad, at most 15 characters and NUL

  // The fixed context keyed with the built-in key; both session contexts zero. All three
  // encipher on the widest lane path this processor runs, or on `lanes` (benchmarks compare the
  // paths on the whole receive path; see CipherContext).
  FrameCodec();
  explicit FrameCodec(IdeaLanes lanes);

  // Builds one frame from a complete message and hands it to the transport in one call. Type
  // "4" goes under the built-in key, "5" under the send session key without compression, any
  // other type becomes a type "6" frame under the send session key. False when the message is
  // null, does not fit one frame, the transport is not connected, or the send failed.
  bool SendFrame(const uint8_t* message, size_t length, char type);

  // With a record: keeps a copy and connects the transport to the stored address and port; true
  // when the connection is up and the authentication link request went out. Without a record no attempt is made and the result is false.
  // Either way the attempt is written to the install log.
  bool Connect(const AccountRecord* record);

  // Sends the login request (code 0x3010) with the stored account record, type "6".
  bool SendLogin();

  // Copies at most 15 characters of `address` and the port (host order).
  void SetServer(const char* address, uint16_t port);
  const char* server_address() const { return server_address_; }
  uint16_t server_port() const { return server_port_; }

  void SetTransport(TTcp* transport) { transport_ = transport; }
  TTcp* transport() const { return transport_; }

  const uint8_t* account() const { return account_; }

  // Keys the send and the receive session context from the two key texts of the authentication
  // link response (at most 16 bytes of each).
  void SetSessionKeys(const uint8_t* send_key, size_t send_length, const uint8_t* receive_key,
                      size_t receive_length);

  const CipherContext& fixed_context() const { return fixed_context_; }
  const CipherContext& receive_context() const { return receive_context_; }
  const CipherContext& send_context() const { return send_context_; }

 private:
  CipherContext fixed_context_;
  CipherContext receive_context_;
  CipherContext send_context_;
  char server_address_[kAddressSize] = {};
  uint16_t server_port_ = 0;
  uint8_t account_[kAccountRecordSize] = {};
  TTcp* transport_ = nullptr;
};
