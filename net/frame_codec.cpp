// The frame codec of a connection end: which key and frame type a message travels under, and
// the decoding of what arrives.
#include "net/frame_codec.h"

FrameCodec::FrameCodec() { fixed_context_.SetKey(kBuiltInKey, sizeof kBuiltInKey - 1); }

FrameCodec::FrameCodec(IdeaLanes lanes)
    : fixed_context_(lanes), receive_context_(lanes), send_context_(lanes) {
  fixed_context_.SetKey(kBuiltInKey, sizeof kBuiltInKey - 1);
}

size_t FrameCodec::EncodeFrame(const uint8_t* message, size_t length, char type,
                               uint8_t* frame) const {
  if (message == nullptr) return 0;
  const CipherContext* context = &send_context_;
  if (type == '4') {
    context = &fixed_context_;
  } else if (type != '5') {
    type = '6';
  }
  return BuildFrame(message, length, type, context, frame);
}

bool FrameCodec::DecodePayload(char type, const uint8_t* payload, uint32_t payload_length,
                               const uint8_t** message, size_t* message_length) {
  return DecodeFramePayload(type, payload, payload_length, fixed_context_, receive_context_,
                            &buffers_, message, message_length);
}

void FrameCodec::SetSessionKeys(const uint8_t* send_key, size_t send_length,
                                const uint8_t* receive_key, size_t receive_length) {
  send_context_.SetKey(send_key, send_length);
  receive_context_.SetKey(receive_key, receive_length);
}
