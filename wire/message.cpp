// Encoding and decoding of the message header.
#include "wire/message.h"

#include <cstring>

#include "base/coding.h"

void EncodeMessageHeader(const MessageHeader& header, uint8_t* dst) {
  EncodeFixed16(dst, header.Reserved0);
  EncodeFixed32(dst + 2, header.Reserved2);
  EncodeFixed16(dst + kMessageCodeOffset, header.Code);
  dst[kMessageChainOffset] = header.Chain;
  EncodeFixed16(dst + kMessageRecordCountOffset, header.RecordCount);
  EncodeFixed32(dst + kMessageRecordSizeOffset, header.RecordSize);
  EncodeFixed32(dst + 15, header.Reserved15);
  std::memcpy(dst + kMessageUserNameOffset, header.UserName, kMessageUserNameSize);
  EncodeFixed32(dst + kMessageErrorCodeOffset, static_cast<uint32_t>(header.ErrorCode));
}

void EncodeRequestHeader(uint16_t code, uint16_t record_count, uint32_t record_size,
                         uint8_t* dst) {
  MessageHeader header;
  header.Code = code;
  header.RecordCount = record_count;
  header.RecordSize = record_size;
  EncodeMessageHeader(header, dst);
}

bool DecodeMessageHeader(const uint8_t* message, size_t length, MessageHeader* out) {
  if (message == nullptr || length < kMessageHeaderSize) return false;
  out->Reserved0 = DecodeFixed16(message);
  out->Reserved2 = DecodeFixed32(message + 2);
  out->Code = DecodeFixed16(message + kMessageCodeOffset);
  out->Chain = message[kMessageChainOffset];
  out->RecordCount = DecodeFixed16(message + kMessageRecordCountOffset);
  out->RecordSize = DecodeFixed32(message + kMessageRecordSizeOffset);
  out->Reserved15 = DecodeFixed32(message + 15);
  std::memcpy(out->UserName, message + kMessageUserNameOffset, kMessageUserNameSize);
  out->ErrorCode = DecodeSigned32(message + kMessageErrorCodeOffset);
  return true;
}

bool RecordsFit(const MessageHeader& header, size_t length, size_t min_record_size) {
  if (length < kMessageHeaderSize) return false;
  if (header.RecordCount == 0) return true;
  if (header.RecordSize < min_record_size) return false;
  // 64-bit product: 65535 x 0xFFFFFFFF cannot wrap.
  uint64_t records = static_cast<uint64_t>(header.RecordCount) * header.RecordSize;
  return records <= length - kMessageHeaderSize;
}
