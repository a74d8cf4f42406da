// The send path of a connection: message to frame to transport, and the two requests the codec
// sends itself (none but the login needs the account record).
#include "net/frame_codec.h"

#include <cstdio>
#include <cstring>

#include "core/install_log.h"
#include "wire/frame_format.h"
#include "net/tcp.h"

FrameCodec::FrameCodec() { fixed_context_.SetKey(kBuiltInKey, sizeof kBuiltInKey - 1); }

FrameCodec::FrameCodec(IdeaLanes lanes)
    : fixed_context_(lanes), receive_context_(lanes), send_context_(lanes) {
  fixed_context_.SetKey(kBuiltInKey, sizeof kBuiltInKey - 1);
}

bool FrameCodec::SendFrame(const uint8_t* message, size_t length, char type) {
  if (message == nullptr) return false;
  const CipherContext* context = &send_context_;
  if (type == '4') {
    context = &fixed_context_;
  } else if (type != '5') {
    type = '6';
  }
  uint8_t frame[kFrameBufferSize];
  size_t frame_length = BuildFrame(message, length, type, context, frame);
  if (frame_length == 0) return false;
  if (transport_ == nullptr || !transport_->IsConnected()) return false;
  return transport_->Send(frame, static_cast<uint32_t>(frame_length)) == 0;
}

bool FrameCodec::Connect(const AccountRecord* record) {
  bool connected = false;
  if (record != nullptr) {
    EncodeAccountRecord(*record, account_);
    connected = transport_ != nullptr && transport_->Connect(server_address_, server_port_) == 0;
  }
  char line[64];
  std::snprintf(line, sizeof line, "SocketSend_ip:%s__port:%d", server_address_,
                static_cast<int>(server_port_));
  WriteLog(line);
  return connected;
}

bool FrameCodec::SendLogin() {
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
  return SendFrame(message, kLength, '6');
}

void FrameCodec::SetServer(const char* address, uint16_t port) {
  std::memset(server_address_, 0, sizeof server_address_);
  if (address != nullptr) {
    std::memcpy(server_address_, address, strnlen(address, kAddressSize - 1));
  }
  server_port_ = port;
}

void FrameCodec::SetSessionKeys(const uint8_t* send_key, size_t send_length,
                                const uint8_t* receive_key, size_t receive_length) {
  send_context_.SetKey(send_key, send_length);
  receive_context_.SetKey(receive_key, receive_length);
}
