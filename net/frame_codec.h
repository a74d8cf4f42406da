// FrameCodec: the frame codec of one connection end: the built-in key context, the two session
// key contexts and the receive path's working buffers; messages to frames and payloads back to
// messages, with no transport and nothing written anywhere.
#pragma once

#include <cstddef>
#include <cstdint>

#include "wire/cipher_context.h"
#include "wire/frame_format.h"
#include "wire/message.h"
#include "wire/records.h"

class FrameCodec {
 public:
  // The fixed context keyed with the built-in key; both session contexts zero. All three
  // encipher on the widest lane path this processor runs, or on `lanes` (benchmarks compare the
  // paths on the whole receive path; see CipherContext).
  FrameCodec();
  explicit FrameCodec(IdeaLanes lanes);

  // Builds one frame from a complete message into `frame` (kFrameBufferSize bytes). Type "4"
  // goes under the built-in key, "5" under the send session key without compression, any other
  // type becomes a type "6" frame under the send session key. Returns the frame length, or 0
  // when the message is null or does not fit one frame.
  size_t EncodeFrame(const uint8_t* message, size_t length, char type, uint8_t* frame) const;

  // Decodes the payload of one received frame of `type` into the message it carries (the fixed
  // context for types "3" and "4", the receive session context for "5" and "6"). The message may
  // lie in this object's buffers: one caller at a time, the receive thread.
  bool DecodePayload(char type, const uint8_t* payload, uint32_t payload_length,
                     const uint8_t** message, size_t* message_length);

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
  FrameDecodeBuffers buffers_;
};
