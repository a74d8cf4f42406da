// The service's use of the frame format of net/.
#include "service/frame_io.h"

#include <sys/random.h>

#include <memory>

#include "wire/frame_format.h"

namespace {

struct Scratch {
  uint8_t frame[kFrameBufferSize];
  FrameDecodeBuffers decode;
};

Scratch& ThreadScratch() {
  thread_local std::unique_ptr<Scratch> scratch(new Scratch());
  return *scratch;
}

}  // namespace

bool AppendFrame(Outbox& out, const std::vector<uint8_t>& message, char type,
                 const CipherContext* context) {
  Scratch& s = ThreadScratch();
  size_t n = BuildFrame(message.data(), message.size(), type, context, s.frame);
  if (n == 0) return false;
  out.Append(s.frame, n);
  return true;
}

bool AppendCompressedFrame(Outbox& out, const uint8_t* payload, size_t length,
                           const CipherContext& context) {
  if (length == 0 || length > kMaxSendPayload) return false;
  const size_t n = FrameFromPayload(payload, length, '6', &context,
                                    out.Reserve(kFrameHeaderSize + length));
  if (n == 0) return false;
  out.Commit(n);
  return true;
}

FrameRead ReadFrame(const uint8_t* data, size_t length, const CipherContext& fixed,
                    const CipherContext& session, DecodedFrame* frame, std::string* reason) {
  char type = 0;
  uint32_t payload_length = 0;
  switch (ScanFrame(data, length, 0, &type, &payload_length)) {
    case FrameScan::kIncomplete:
      return FrameRead::kIncomplete;
    case FrameScan::kInvalid:
      *reason = length > 0 && data[0] != kFrameStart ? "bytes that are not a frame"
                                                     : "frame length out of range";
      return FrameRead::kBad;
    case FrameScan::kComplete:
      break;
  }
  if (!FrameTypeKnown(type)) {
    *reason = std::string("frame of unknown type 0x") + "0123456789ABCDEF"[(type >> 4) & 15] +
              "0123456789ABCDEF"[type & 15];
    return FrameRead::kBad;
  }
  Scratch& s = ThreadScratch();
  if (!DecodeFramePayload(type, data + kFrameHeaderSize, payload_length, fixed, session,
                          &s.decode, &frame->message, &frame->message_length)) {
    *reason = std::string("type ") + type + " frame that does not decode";
    return FrameRead::kBad;
  }
  frame->type = type;
  frame->frame_length = kFrameHeaderSize + payload_length;
  return FrameRead::kFrame;
}

std::vector<uint8_t> GarbageFrame() {
  std::vector<uint8_t> frame(kFrameHeaderSize + 32);
  EncodeFrameHeader('7', 32, frame.data());
  ssize_t ignored = getrandom(frame.data() + kFrameHeaderSize, 32, 0);
  (void)ignored;
  return frame;
}
