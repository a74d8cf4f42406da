// A connection end: connect and the opening exchange, the send path, frame parsing on the
// receive path and message routing.
#include "net/protocol.h"

#include <cstring>

#include "net/process_client.h"

Protocol::Protocol(ProcessClient& client) : client_(client) { tcp_.SetNotify(this); }

bool Protocol::Connect(const char* address, uint16_t port, const AccountRecord* record) {
  std::memset(server_address_, 0, sizeof server_address_);
  server_port_ = 0;
  if (address != nullptr && port != 0) {
    std::memcpy(server_address_, address, strnlen(address, kAddressSize - 1));
    server_port_ = port;
  }
  if (record == nullptr) return false;
  EncodeAccountRecord(*record, account_);
  return tcp_.Connect(server_address_, server_port_) == TTcp::kConnected;
}

bool Protocol::Send(const uint8_t* message, size_t length, char type) {
  uint8_t frame[kFrameBufferSize];
  size_t frame_length = codec_.EncodeFrame(message, length, type, frame);
  if (frame_length == 0 || !tcp_.IsConnected()) return false;
  return tcp_.Send(frame, static_cast<uint32_t>(frame_length)) == 0;
}

bool Protocol::SendLogin() {
  constexpr size_t kLength = kMessageHeaderSize + kAccountRecordSize;  // 147
  uint8_t message[kLength] = {};
  MessageHeader header;
  header.Code = kMsgLoginRequest;
  header.RecordCount = 1;
  header.RecordSize = kAccountRecordSize;
  // The user name, at most 50 characters, from the stored record.
  size_t name_length = strnlen(reinterpret_cast<const char*>(account_), kMessageUserNameSize - 1);
  std::memcpy(header.UserName, account_, name_length);
  EncodeMessageHeader(header, message);
  std::memcpy(message + kMessageHeaderSize, account_, kAccountRecordSize);
  return Send(message, kLength, '6');
}

bool Protocol::SendAuthentLink() {
  uint8_t message[kAuthentLinkRequestSize] = {};
  EncodeRequestHeader(kMsgAuthentLinkRequest, 1, kAuthentLinkRecordSize, message);
  EncodeAuthentLinkRecord(message + kMessageHeaderSize);
  return Send(message, sizeof message, '4');
}

void Protocol::Close() { tcp_.Close(); }

void Protocol::Release() {
  tcp_.StopAndJoin();
  tcp_.SetNotify(nullptr);
  tcp_.Close();
}

bool Protocol::OnConnect(TTcp*) { return SendAuthentLink(); }

void Protocol::OnDisconnect(TTcp*) {
  client_.OnClientDisconnect(kDisconnectProxyErrorText, kDisconnectProxyError);
}

int Protocol::OnRecv(TTcp*, const uint8_t* data, uint32_t length) {
  return ParseFrames(data, length);
}

int Protocol::ParseFrames(const uint8_t* data, uint32_t length) {
  if (data == nullptr || length < kFrameHeaderSize) return 0;
  size_t pos = 0;
  for (;;) {
    char type = 0;
    uint32_t payload_length = 0;
    FrameScan scan = ScanFrame(data, length, pos, &type, &payload_length);
    if (scan == FrameScan::kInvalid) return static_cast<int>(length);
    if (scan == FrameScan::kIncomplete) return static_cast<int>(pos);

    const uint8_t* message = nullptr;
    size_t message_length = 0;
    if (!codec_.DecodePayload(type, data + pos + kFrameHeaderSize, payload_length, &message,
                              &message_length)) {
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
      // The installer sends no heartbeats; an answer to one concerns no client.
      break;
    case kMsgLoginResponse:
      client_.OnLogin(header.ErrorCode, message + kMessageHeaderSize,
                      length - static_cast<uint32_t>(kMessageHeaderSize));
      break;
    case kMsgSessionNotice:
      client_.OnSessionNotice(header.ErrorCode);
      break;
    default:
      client_.OnMessage(message, length);
      break;
  }
}

void Protocol::OnAuthentLinkResponse(const uint8_t* message, uint32_t length, int32_t error_code) {
  if (error_code == 0) {
    // A success that does not reach the receive key's place carries no keys: refused whole.
    // Nothing can be said on the connection without them, so it is closed and the client
    // hears of it as a lost connection.
    AuthentLinkReplyRecord reply;
    if (!DecodeAuthentLinkReply(message, length, &reply)) {
      tcp_.Close();
      return;
    }
    codec_.SetSessionKeys(reinterpret_cast<const uint8_t*>(reply.SendKey),
                          std::strlen(reply.SendKey),
                          reinterpret_cast<const uint8_t*>(reply.ReceiveKey),
                          std::strlen(reply.ReceiveKey));
  }
  client_.OnAuthentLink(error_code);
}
