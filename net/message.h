// The message envelope every request and response carries inside a frame (a 74-byte header, then
// record count x record size bytes of records), the message codes, and the login record.
#pragma once

#include <cstddef>
#include <cstdint>

#include "net/frame_format.h"

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
constexpr uint16_t kMsgDownloadBaseZip = 0x3091;
constexpr uint16_t kMsgSystemDependFileRsp = 0x3092;
constexpr uint16_t kMsgPackageQuery = 0x5051;
constexpr uint16_t kMsgPackageQueryReply = 0x5052;

// Record sizes of the requests, as installers send them and the service checks them.
constexpr size_t kUpdateCheckRecordSize = 19;     // QryCheckUpdate
constexpr size_t kModuleCheckRecordSize = 60;     // QryCheckModule
constexpr size_t kModuleDownloadRecordSize = 74;  // DownloadModule, one per module
constexpr size_t kBaseZipRecordSize = 21;         // DownloadBaseZip
constexpr size_t kPackageQueryRecordSize = 35;    // package query
constexpr size_t kHeartbeatRecordSize = 4;
// The largest message whose compressed payload fits one frame even when nothing compresses
// (names of random characters): requests sent as type "6" frames stay within this size.
constexpr size_t MaxCompressibleMessage() {
  size_t length = kMaxSendPayload;
  while (CompressWorstCase(length) > kMaxSendPayload) --length;
  return length;
}
// A module download request carries at most this many records: 1665, the most whose
// 74 + 74 x n bytes compress within a frame's 131066-byte payload in LZO's worst case
// (123294 bytes of message at most). More modules go out in several requests.
constexpr size_t kMaxModulesPerRequest =
    (MaxCompressibleMessage() - kMessageHeaderSize) / kModuleDownloadRecordSize;
static_assert(kMaxModulesPerRequest == 1665, "the request split the service sizes its queue for");
// The most module download records a received request may hold: as many as fit a
// 131072-byte message after the header (more than a sender ever puts in one request).
constexpr size_t kMaxModuleDownloadRecords =
    (kMaxMessageSize - kMessageHeaderSize) / kModuleDownloadRecordSize;  // 1770

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

// The login record: user name and password texts, each NUL-terminated in its field.
struct AccountRecord {
  char UserName[51] = {};
  char Reserved = 0;
  char Password[21] = {};
};
constexpr size_t kAccountRecordSize = 73;
static_assert(sizeof(AccountRecord) == kAccountRecordSize, "AccountRecord is 73 bytes");

// Writes / reads exactly 73 bytes.
void EncodeAccountRecord(const AccountRecord& record, uint8_t* dst);
AccountRecord DecodeAccountRecord(const uint8_t* src);
