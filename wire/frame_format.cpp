// Frame building and decoding. The send side works in per-call buffers on the stack, the receive
// side in the caller's FrameDecodeBuffers: no heap allocation per frame.
#include "wire/frame_format.h"

#include <cstring>

#include "base/coding.h"
#include "wire/cipher_context.h"

bool FrameTypeCompressed(char type) { return type == '2' || type == '4' || type == '6'; }

bool FrameTypeEnciphered(char type) { return type >= '3' && type <= '6'; }

bool FrameTypeKnown(char type) { return type >= '1' && type <= '6'; }

void EncodeFrameHeader(char type, uint32_t payload_length, uint8_t* dst) {
  dst[0] = kFrameStart;
  dst[1] = static_cast<uint8_t>(type);
  EncodeFixed32(dst + 2, payload_length);
}

size_t BuildFrame(const uint8_t* message, size_t length, char type, const CipherContext* context,
                  uint8_t* frame) {
  if (message == nullptr || length == 0 || !FrameTypeKnown(type)) return 0;
  if (FrameTypeEnciphered(type) && context == nullptr) return 0;

  alignas(16) uint8_t compressed[kCompressBufferSize];
  const uint8_t* payload = message;
  size_t payload_length = length;
  if (FrameTypeCompressed(type)) {
    payload_length = Compress(message, length, compressed);
    if (payload_length == 0) return 0;
    payload = compressed;
  }
  return FrameFromPayload(payload, payload_length, type, context, frame);
}

size_t FrameFromPayload(const uint8_t* payload, size_t payload_length, char type,
                        const CipherContext* context, uint8_t* frame) {
  if (payload_length > kMaxSendPayload) return 0;
  if (FrameTypeEnciphered(type) && context == nullptr) return 0;

  uint8_t* body = frame + kFrameHeaderSize;
  if (FrameTypeEnciphered(type)) {
    context->Encrypt(payload, body, payload_length);
  } else {
    std::memcpy(body, payload, payload_length);
  }
  EncodeFrameHeader(type, static_cast<uint32_t>(payload_length), frame);
  return payload_length + kFrameHeaderSize;
}

FrameScan ScanFrame(const uint8_t* data, size_t length, size_t pos, char* type,
                    uint32_t* payload_length) {
  if (pos >= length) return FrameScan::kIncomplete;
  if (data[pos] != kFrameStart) return FrameScan::kInvalid;
  if (length - pos < kFrameHeaderSize) return FrameScan::kIncomplete;
  *type = static_cast<char>(data[pos + 1]);
  uint32_t l = DecodeFixed32(data + pos + 2);
  *payload_length = l;
  if (l == 0 || l > kMaxReceivePayload) return FrameScan::kInvalid;
  if (length - pos - kFrameHeaderSize < l) return FrameScan::kIncomplete;
  return FrameScan::kComplete;
}

bool DecodeFramePayload(char type, const uint8_t* payload, uint32_t payload_length,
                        const CipherContext& fixed, const CipherContext& session,
                        FrameDecodeBuffers* buffers, const uint8_t** message,
                        size_t* message_length) {
  if (!FrameTypeKnown(type) || payload_length > kMaxReceivePayload) return false;
  const uint8_t* plain = payload;
  if (FrameTypeEnciphered(type)) {
    const CipherContext& context = (type == '3' || type == '4') ? fixed : session;
    context.Decrypt(payload, buffers->deciphered, payload_length);
    plain = buffers->deciphered;
  }
  if (!FrameTypeCompressed(type)) {
    *message = plain;
    *message_length = payload_length;
    return true;
  }
  size_t produced = 0;
  if (!Decompress(plain, payload_length, buffers->decompressed, &produced)) return false;
  *message = buffers->decompressed;
  *message_length = produced;
  return true;
}
