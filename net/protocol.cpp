// The session: frame parsing on the receive path, message routing, the authentication link
// request and the keep-alive loop.
#include "net/protocol.h"

#include <cstring>

#include "base/coding.h"
#include "net/frame_codec.h"
#include "net/process_client.h"
#include "wire/records.h"
#include "net/tcp.h"

namespace {

// Waits up to `milliseconds`, in steps, returning early when `thread` is asked to stop.
void SleepUnlessStopped(const TThread& thread, int64_t milliseconds) {
  constexpr int64_t kStep = 100;
  for (int64_t waited = 0; waited < milliseconds && !thread.StopRequested(); waited += kStep) {
    SleepMilliseconds(static_cast<int>(milliseconds - waited < kStep ? milliseconds - waited : kStep));
  }
}

}  // namespace

Protocol::~Protocol() { StopAndJoin(); }

int Protocol::ParseFrames(const uint8_t* data, uint32_t length) {
  if (data == nullptr || length < kFrameHeaderSize) return 0;
  // Without a codec no frame can be decoded; the stream is discarded like undecodable data.
  if (codec_ == nullptr) return static_cast<int>(length);
  size_t pos = 0;
  for (;;) {
    char type = 0;
    uint32_t payload_length = 0;
    FrameScan scan = ScanFrame(data, length, pos, &type, &payload_length);
    if (scan == FrameScan::kInvalid) return static_cast<int>(length);
    if (scan == FrameScan::kIncomplete) return static_cast<int>(pos);

    const uint8_t* message = nullptr;
    size_t message_length = 0;
    if (!DecodeFramePayload(type, data + pos + kFrameHeaderSize, payload_length,
                            codec_->fixed_context(), codec_->receive_context(), &buffers_,
                            &message, &message_length)) {
      return static_cast<int>(length);
    }
    // A message too short for its own header is skipped; the frames behind it still count.
    if (message_length >= kMessageHeaderSize) {
      Dispatch(message, static_cast<uint32_t>(message_length));
    }
    pos += kFrameHeaderSize + payload_length;
    if (pos + kFrameHeaderSize > length) return static_cast<int>(pos);
  }
}

void Protocol::Dispatch(const uint8_t* message, uint32_t length) {
  MessageHeader header;
  if (!DecodeMessageHeader(message, length, &header)) return;
  switch (header.Code) {
    case kMsgAuthentLinkResponse:
      OnAuthentLinkResponse(message, length, header.ErrorCode);
      break;
    case kMsgHeartbeatAnswer:
      --outstanding_heartbeats_;
      break;
    case kMsgLoginResponse:
      if (client_ != nullptr) {
        client_->OnLogin(header.ErrorCode, message + kMessageHeaderSize,
                         length - static_cast<uint32_t>(kMessageHeaderSize));
      }
      break;
    case kMsgSessionNotice:
      if (client_ != nullptr) client_->OnSessionNotice(header.ErrorCode);
      break;
    default:
      if (client_ != nullptr) client_->OnMessage(message, length);
      break;
  }
}

void Protocol::OnAuthentLinkResponse(const uint8_t* message, uint32_t length, int32_t error_code) {
  if (error_code == 0) {
    // A success that does not reach the receive key's place carries no keys: refused whole.
    // Nothing can be said on the connection without them, so it is closed and the client
    // hears of it as a lost connection.
    AuthentLinkReplyRecord reply;
    if (codec_ == nullptr || !DecodeAuthentLinkReply(message, length, &reply)) {
      TTcp* transport = codec_ != nullptr ? codec_->transport() : nullptr;
      if (transport != nullptr) transport->Close();
      return;
    }
    codec_->SetSessionKeys(reinterpret_cast<const uint8_t*>(reply.SendKey),
                           std::strlen(reply.SendKey),
                           reinterpret_cast<const uint8_t*>(reply.ReceiveKey),
                           std::strlen(reply.ReceiveKey));
    heartbeat_interval_.store(reply.HeartbeatInterval);
  }
  if (client_ != nullptr) client_->OnAuthentLink(error_code);
}

bool Protocol::SendAuthentLink() {
  uint8_t message[kAuthentLinkRequestSize] = {};
  EncodeRequestHeader(kMsgAuthentLinkRequest, 1, kAuthentLinkRecordSize, message);
  EncodeAuthentLinkRecord(message + kMessageHeaderSize);
  return codec_ != nullptr && codec_->SendFrame(message, sizeof message, '4');
}

bool Protocol::SendHeartbeat() {
  uint8_t message[kHeartbeatRequestSize] = {};
  EncodeRequestHeader(kMsgHeartbeat, 1, kHeartbeatRecordSize, message);
  return codec_ != nullptr && codec_->SendFrame(message, sizeof message, '4');
}

void Protocol::Run() {
  constexpr int kPollMs = 100;
  while (!StopRequested()) {
    TTcp* transport = codec_ != nullptr ? codec_->transport() : nullptr;
    int32_t interval = heartbeat_interval_.load();
    if (linked() && interval > 0) {
      SleepUnlessStopped(*this, static_cast<int64_t>(interval) * 1000);
      if (StopRequested()) break;
      int32_t outstanding = ++outstanding_heartbeats_;
      SendHeartbeat();
      if (outstanding == 2 && client_ != nullptr) client_->OnHeartbeatTimeout();
      if (outstanding > 2 && transport != nullptr) transport->Close();
      continue;
    }
    if (!linked() && transport != nullptr && transport->IsConnected() && client_ != nullptr) {
      client_->OnClientDisconnect(kDisconnectTimeoutText, kDisconnectTimeout);
    }
    SleepMilliseconds(kPollMs);
  }
}
