// The loopback peer and the recording client used by the network tests.
#include "net/testing/loopback_peer.h"

#include <chrono>
#include <cstring>

#include "base/coding.h"
#include "wire/frame_format.h"
#include "wire/message.h"
#include "wire/records.h"

LoopbackPeer::LoopbackPeer(int backlog)
    : listener_(OpenListener(kLoopbackAddress, 0, backlog, &port_)) {}

bool LoopbackPeer::Accept(int timeout_ms) {
  connection_.reset(AcceptConnection(listener_.get(), timeout_ms));
  return connection_.valid();
}

bool LoopbackPeer::ReadExactly(size_t count, std::string* out, int timeout_ms) {
  out->clear();
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  char chunk[65536];
  while (out->size() < count) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0 || WaitReadable(connection_.get(), static_cast<int>(left)) != 1) return false;
    size_t want = count - out->size();
    int n = ReceiveBytes(connection_.get(), chunk,
                         static_cast<int>(want < sizeof chunk ? want : sizeof chunk));
    if (n <= 0) return false;
    out->append(chunk, static_cast<size_t>(n));
  }
  return true;
}

bool LoopbackPeer::ReadFrame(std::string* frame, int timeout_ms) {
  std::string header;
  if (!ReadExactly(kFrameHeaderSize, &header, timeout_ms)) return false;
  uint32_t length = DecodeFixed32(reinterpret_cast<const uint8_t*>(header.data()) + 2);
  if (length > kMaxReceivePayload) return false;
  std::string payload;
  if (!ReadExactly(length, &payload, timeout_ms)) return false;
  *frame = header + payload;
  return true;
}

bool LoopbackPeer::ReadMessage(const CipherContext& fixed, const CipherContext& session,
                               char* type, std::string* message, int timeout_ms) {
  std::string frame;
  if (!ReadFrame(&frame, timeout_ms)) return false;
  *type = frame[1];
  static FrameDecodeBuffers buffers;  // tests read from one thread at a time
  const uint8_t* plain = nullptr;
  size_t plain_length = 0;
  const uint8_t* payload = reinterpret_cast<const uint8_t*>(frame.data()) + kFrameHeaderSize;
  if (!DecodeFramePayload(*type, payload, static_cast<uint32_t>(frame.size() - kFrameHeaderSize),
                          fixed, session, &buffers, &plain, &plain_length)) {
    return false;
  }
  message->assign(reinterpret_cast<const char*>(plain), plain_length);
  return true;
}

bool LoopbackPeer::WaitClosedByClient(int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  char chunk[65536];
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0 || WaitReadable(connection_.get(), static_cast<int>(left)) != 1) return false;
    // Anything still in flight is read past; end of stream (or a reset) is the close.
    if (ReceiveBytes(connection_.get(), chunk, sizeof chunk) <= 0) return true;
  }
}

bool LoopbackPeer::SendRaw(const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    int n = SendBytes(connection_.get(), bytes.data() + sent, static_cast<int>(bytes.size() - sent));
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

bool LoopbackPeer::SendMessage(const std::string& message, char type,
                               const CipherContext* context) {
  std::string frame = MakeFrame(message, type, context);
  return !frame.empty() && SendRaw(frame);
}

std::string MakeFrame(const std::string& message, char type, const CipherContext* context) {
  static uint8_t frame[kFrameBufferSize];  // tests build frames from one thread at a time
  size_t n = BuildFrame(reinterpret_cast<const uint8_t*>(message.data()), message.size(), type,
                        context, frame);
  return std::string(reinterpret_cast<const char*>(frame), n);
}

std::string MakeMessage(uint16_t code, int32_t error_code, const std::string& records,
                        uint16_t record_count, uint32_t record_size, uint8_t chain) {
  MessageHeader header;
  header.Code = code;
  header.Chain = chain;
  header.RecordCount = record_count;
  header.RecordSize = record_size;
  header.ErrorCode = error_code;
  std::string message(kMessageHeaderSize, '\0');
  EncodeMessageHeader(header, reinterpret_cast<uint8_t*>(&message[0]));
  return message + records;
}

std::string MakeAuthentLinkResponse(int32_t error_code, const std::string& send_key,
                                    int32_t interval, const std::string& receive_key) {
  // The texts sit in fields reaching to the next fixed offset and beyond the receive key.
  std::string message = MakeMessage(kMsgAuthentLinkResponse, error_code, std::string(80, '\0'),
                                    1, 80);
  message.replace(kAuthentSendKeyOffset, send_key.size(), send_key);
  uint8_t interval_bytes[4];
  EncodeFixed32(interval_bytes, static_cast<uint32_t>(interval));
  message.replace(kAuthentIntervalOffset, 4, reinterpret_cast<const char*>(interval_bytes), 4);
  message.replace(kAuthentReceiveKeyOffset, receive_key.size(), receive_key);
  return message;
}

CipherContext KeyedContext(const std::string& key) {
  CipherContext context;
  context.SetKey(key.data(), key.size());
  return context;
}

void RecordingClient::OnMessage(const uint8_t* message, uint32_t length) {
  events_.Record({"message", 0, std::string(reinterpret_cast<const char*>(message), length)});
}

void RecordingClient::OnClientDisconnect(const char* text, int32_t code) {
  events_.Record({"disconnect", code, text});
}

void RecordingClient::OnLogin(int32_t error_code, const uint8_t* records,
                              uint32_t records_length) {
  events_.Record({"login", error_code, std::string(reinterpret_cast<const char*>(records), records_length)});
}

void RecordingClient::OnSessionNotice(int32_t error_code) { events_.Record({"notice", error_code, ""}); }

void RecordingClient::OnAuthentLink(int32_t error_code) {
  events_.Record({"authent-link", error_code, ""});
  if (on_authent_link) on_authent_link(error_code);
}

