// Frames on the service side of a connection: replies built into the outbox, requests decoded
// from the input. The working buffers are shared by all connections of the serving thread, so a
// connection costs no frame-sized buffers of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "wire/cipher_context.h"
#include "service/outbox.h"

// Builds one frame of `type` around `message` and appends it to `out`; `context` enciphers
// types "3".."6". False (nothing appended) when the message does not fit one frame.
bool AppendFrame(Outbox& out, const std::vector<uint8_t>& message, char type,
                 const CipherContext* context);

// Appends a type "6" frame whose LZO payload is compressed already: only the cipher runs.
// False (nothing appended) when the payload does not fit one frame.
bool AppendCompressedFrame(Outbox& out, const uint8_t* payload, size_t length,
                           const CipherContext& context);

struct DecodedFrame {
  char type = 0;
  size_t frame_length = 0;  // header and payload, to be consumed
  const uint8_t* message = nullptr;  // valid until the next call on this thread
  size_t message_length = 0;
};

enum class FrameRead { kFrame, kIncomplete, kBad };

// Decodes the frame at the start of `data`. kBad (with a reason) for a wrong start byte, a length
// out of range, an unknown type or a payload that does not decipher and decompress.
FrameRead ReadFrame(const uint8_t* data, size_t length, const CipherContext& fixed,
                    const CipherContext& session, DecodedFrame* frame, std::string* reason);

// Bytes that no installer can decode: a frame of type "7" with random payload.
std::vector<uint8_t> GarbageFrame();
