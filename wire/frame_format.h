// The frame on the wire: start byte "#", a type digit "1".."6", a 32-bit little-endian payload
// length, then the payload (the message plain, compressed and/or enciphered by type). Building and
// decoding frames from either side of the connection.
#pragma once

#include <cstddef>
#include <cstdint>

#include "wire/lzo_compress.h"

// The built-in key, used before session keys exist.
constexpr char kBuiltInKey[] = "k7#m.q9;z!w4,p&x";

class CipherContext;

constexpr size_t kFrameHeaderSize = 6;
constexpr uint8_t kFrameStart = 0x23;
// A received payload is 1..0x1FFFF bytes.
constexpr uint32_t kMaxReceivePayload = 0x1FFFF;
// Frames are built in a buffer of this size, so a sent payload has at most 131066 bytes.
constexpr size_t kFrameBufferSize = 131072;
constexpr size_t kMaxSendPayload = kFrameBufferSize - kFrameHeaderSize;

// True for the types whose payload is LZO1X-compressed ("2", "4", "6") and enciphered ("3".."6").
bool FrameTypeCompressed(char type);
bool FrameTypeEnciphered(char type);
bool FrameTypeKnown(char type);

void EncodeFrameHeader(char type, uint32_t payload_length, uint8_t* dst);

// Builds a frame of `type` ("1".."6") from a complete message into `frame` (kFrameBufferSize
// bytes), enciphering with `context` for types "3".."6". Returns the frame length, or 0 when the
// type is unknown, the message is empty, or the payload would not fit the buffer.
size_t BuildFrame(const uint8_t* message, size_t length, char type, const CipherContext* context,
                  uint8_t* frame);

// The second half of BuildFrame: a frame of `type` from a payload that is already compressed when
// the type says so (a sender that keeps compressed payloads), into `frame`, which needs room for
// kFrameHeaderSize + payload_length bytes only. 0 when it would not fit kFrameBufferSize or an
// enciphered type has no context.
size_t FrameFromPayload(const uint8_t* payload, size_t payload_length, char type,
                        const CipherContext* context, uint8_t* frame);

enum class FrameScan { kComplete, kIncomplete, kInvalid };

// Looks at the frame starting at `pos`: kInvalid for a wrong start byte or a length of 0 or
// above kMaxReceivePayload (the type is not judged here), kIncomplete when the header or the
// payload has not fully arrived. Fills `type` and `payload_length` when it could read them.
FrameScan ScanFrame(const uint8_t* data, size_t length, size_t pos, char* type,
                    uint32_t* payload_length);

// The two working buffers of the receive path, kept by whoever decodes so that no frame needs a
// heap allocation.
struct FrameDecodeBuffers {
  uint8_t deciphered[kMaxMessageSize];
  uint8_t decompressed[kMaxMessageSize];
};

// Decodes one payload of `type` into the message it carries: `fixed` deciphers types "3" and
// "4", `session` types "5" and "6". A type "1" message is the payload itself (no copy). False for
// an unknown type, a payload longer than kMaxReceivePayload or one that does not decompress.
bool DecodeFramePayload(char type, const uint8_t* payload, uint32_t payload_length,
                        const CipherContext& fixed, const CipherContext& session,
                        FrameDecodeBuffers* buffers, const uint8_t** message,
                        size_t* message_length);
