// The message envelope every request and response carries inside a frame (a 74-byte header, then
// record count x record size bytes of records) and the message codes. The records themselves are
// in wire/records.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "wire/frame_format.h"

constexpr size_t kMessageHeaderSize = 74;
constexpr size_t kMessageCodeOffset = 6;
constexpr size_t kMessageChainOffset = 8;
constexpr size_t kMessageRecordCountOffset = 9;
constexpr size_t kMessageRecordSizeOffset = 11;
constexpr size_t kMessageUserNameOffset = 19;
constexpr size_t kMessageUserNameSize = 51;
constexpr size_t kMessageErrorCodeOffset = 70;

// Chain flag of the last (or only) message of a reply, and of every request.
constexpr uint8_t kChainLast = '0';

constexpr uint16_t kMsgAuthentLinkRequest = 0x0001;
constexpr uint16_t kMsgAuthentLinkResponse = 0x0002;
constexpr uint16_t kMsgHeartbeat = 0x0011;
constexpr uint16_t kMsgHeartbeatAnswer = 0x0012;
constexpr uint16_t kMsgLoginRequest = 0x3010;
constexpr uint16_t kMsgLoginResponse = 0x3011;
constexpr uint16_t kMsgSessionNotice = 0x3013;
constexpr uint16_t kMsgQryCheckUpdate = 0x3051;
constexpr uint16_t kMsgPkgUpdateCheckRsp = 0x3052;
constexpr uint16_t kMsgQryCheckModule = 0x3061;
constexpr uint16_t kMsgPkgModuleCheckRsp = 0x3062;
constexpr uint16_t kMsgDownloadModule = 0x3071;
constexpr uint16_t kMsgFileDownloadRsp = 0x3072;
// Parts of module files: answered with 0x3072 chunk records, in the order asked. Sent only to a
// service whose signed manifest says it answers them.
constexpr uint16_t kMsgDownloadRanges = 0x3073;
constexpr uint16_t kMsgDownloadBaseZip = 0x3091;
constexpr uint16_t kMsgSystemDependFileRsp = 0x3092;
constexpr uint16_t kMsgPackageQuery = 0x5051;
constexpr uint16_t kMsgPackageQueryReply = 0x5052;

// The error code of a module download reply with no records: the instance does not serve a
// record that was asked for (the version the download started with is no longer kept). The
// connection is closed after it; a client that does not know it meets a plain close.
constexpr int32_t kErrorModuleNotServed = 4;

// The header fields; bytes move through EncodeMessageHeader / DecodeMessageHeader.
struct MessageHeader {
  uint16_t Reserved0 = 0;  // 3 in the package query, 0 in every other request
  uint32_t Reserved2 = 0;
  uint16_t Code = 0;
  uint8_t Chain = kChainLast;
  uint16_t RecordCount = 0;
  uint32_t RecordSize = 0;
  uint32_t Reserved15 = 0;
  char UserName[kMessageUserNameSize] = {};  // filled only in the login request
  int32_t ErrorCode = 0;
};

// Writes the 74 header bytes.
void EncodeMessageHeader(const MessageHeader& header, uint8_t* dst);
// A request header: `code`, chain "0", one record count and size, everything else zero.
void EncodeRequestHeader(uint16_t code, uint16_t record_count, uint32_t record_size,
                         uint8_t* dst);
// False when the message is shorter than the header; `out` is then untouched.
bool DecodeMessageHeader(const uint8_t* message, size_t length, MessageHeader* out);

// True when the header's record count x record size lies within the message after the header
// and each record has at least `min_record_size` bytes (a record count of 0 always fits).
bool RecordsFit(const MessageHeader& header, size_t length, size_t min_record_size);
