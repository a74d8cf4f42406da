// Every record the installer and the update service exchange inside a message, both directions:
// named offsets and sizes, one struct per record, and one Encode and one Decode for each. The
// service, the clients, the server selection and every test fake go through these, so a layout
// is written down once (records_test.cpp pins each one to literal bytes).
//
// Text fields. A field of W bytes on the wire is a `char[W + 1]` in its struct. Decoding copies
// the W bytes and the array always ends in a NUL, so a field without one is cut at its width.
// Encoding writes the text up to its NUL, at most W bytes, and zero-fills the rest of the field.
// Whether a decoded field was terminated within its width is `FieldTerminated`.
//
// Decoders read exactly the record's size; the caller has checked that those bytes exist.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "base/module_record.h"
#include "wire/message.h"

// Sets a text field to at most `max_length` characters of `text` (never more than its width),
// zero-filling the rest. The default leaves room for a terminating NUL on the wire.
template <size_t N>
void SetFieldText(char (&field)[N], std::string_view text, size_t max_length = N - 2) {
  size_t n = text.size();
  if (n > max_length) n = max_length;
  if (n > N - 1) n = N - 1;
  std::memset(field, 0, N);
  std::memcpy(field, text.data(), n);
}

// The text of a decoded field, up to its NUL.
template <size_t N>
std::string FieldText(const char (&field)[N]) {
  return std::string(field, strnlen(field, N - 1));
}

// True when the wire field held a NUL within its width.
template <size_t N>
bool FieldTerminated(const char (&field)[N]) {
  return strnlen(field, N - 1) < N - 1;
}

// ---------------------------------------------------------------------------------------------
// Requests (installer -> service)

// Authentication link (0x0001), 45 bytes: a fixed text of 19 characters and its NUL at 12.
constexpr size_t kAuthentLinkRecordSize = 45;
constexpr size_t kAuthentLinkTextOffset = 12;
constexpr char kAuthentLinkText[] = "81?3tuv-jkl%2abc$57";
void EncodeAuthentLinkRecord(uint8_t* dst);
// True when the record carries the fixed text.
bool DecodeAuthentLinkRecord(const uint8_t* src);

// Heartbeat (0x0011), 4 zero bytes; its answer carries the same.
constexpr size_t kHeartbeatRecordSize = 4;

// Login (0x3010), 73 bytes: user name at 0 (51), one reserved byte, password at 52 (21). Both
// texts keep their raw field bytes.
struct AccountRecord {
  char UserName[51] = {};
  char Reserved = 0;
  char Password[21] = {};
};
constexpr size_t kAccountRecordSize = 73;
constexpr size_t kAccountPasswordOffset = 52;
static_assert(sizeof(AccountRecord) == kAccountRecordSize, "AccountRecord is 73 bytes");
void EncodeAccountRecord(const AccountRecord& record, uint8_t* dst);
AccountRecord DecodeAccountRecord(const uint8_t* src);
// The account every installer logs in with: this text as user name and as password.
constexpr char kInstallerAccountText[] = "kivor";
AccountRecord InstallerAccountRecord();

// Update check (0x3051), 19 bytes: package number at 0 (11), installed version at 11 and 15.
struct UpdateCheckRecord {
  char PackageNumber[12] = {};
  VersionPair Installed;
};
constexpr size_t kUpdateCheckRecordSize = 19;
void EncodeUpdateCheckRecord(const UpdateCheckRecord& record, uint8_t* dst);
UpdateCheckRecord DecodeUpdateCheckRecord(const uint8_t* src);

// Module check (0x3061), 60 bytes: the mark 'P' at 0, package number at 1 (11), latest version
// at 12 and 16, 40 reserved bytes that are zero.
struct ModuleCheckRecord {
  char Mark = 'P';
  char PackageNumber[12] = {};
  VersionPair Latest;
  uint8_t Reserved[40] = {};
};
constexpr size_t kModuleCheckRecordSize = 60;
void EncodeModuleCheckRecord(const ModuleCheckRecord& record, uint8_t* dst);
ModuleCheckRecord DecodeModuleCheckRecord(const uint8_t* src);

// Module download (0x3071), 74 bytes per module: package key at 4 (11), module name at 15 (51),
// Num1 at 66, Num2 at 70. Bytes 0..3 are zero.
struct ModuleDownloadRecord {
  char PackageKey[12] = {};
  char Name[52] = {};
  int32_t Num1 = 0;
  int32_t Num2 = 0;
};
constexpr size_t kModuleDownloadRecordSize = 74;
void EncodeModuleDownloadRecord(const ModuleDownloadRecord& record, uint8_t* dst);
ModuleDownloadRecord DecodeModuleDownloadRecord(const uint8_t* src);
// The request record for a module of the package's list (its key and name as they came).
ModuleDownloadRecord ModuleDownloadRecordFor(const ModuleRecord& module);

// Parts of module files (0x3073), 82 bytes each: the module's download record as above, then at
// 74 the byte offset and at 78 the length of one range of its file. A request holds 1 to
// kMaxRangesPerRequest ranges, each 1 to kMaxRangeLength bytes, kMaxRangeRequestBytes at most
// together; the reply's chunk records carry the offset in the file (Offset), the file's size
// (Total), and Last on the last record of each range.
struct ModuleRangeRecord {
  ModuleDownloadRecord Module;
  uint32_t Offset = 0;
  uint32_t Length = 0;
};
constexpr size_t kModuleRangeRecordSize = 82;
constexpr size_t kMaxRangesPerRequest = 1024;
constexpr uint32_t kMaxRangeLength = 4u << 20;
constexpr uint64_t kMaxRangeRequestBytes = 64u << 20;
void EncodeModuleRangeRecord(const ModuleRangeRecord& record, uint8_t* dst);
ModuleRangeRecord DecodeModuleRangeRecord(const uint8_t* src);

// Base archive (0x3091), 21 bytes: the archive name.
struct BaseZipRecord {
  char Name[22] = {};
};
constexpr size_t kBaseZipRecordSize = 21;
constexpr char kBaseZipName[] = "SystemDepend.zip";
void EncodeBaseZipRecord(const BaseZipRecord& record, uint8_t* dst);
BaseZipRecord DecodeBaseZipRecord(const uint8_t* src);

// Package query (0x5051, sent in a plain frame with 3 in the header's first field), 35 bytes: the
// mark 'W' at 0, UI language at 1, package number at 3 (11), client version text at 14 (21).
struct PackageQueryRecord {
  char Mark = 'W';
  uint16_t LanguageId = 0;
  char PackageNumber[12] = {};
  char ClientVersion[22] = {};
};
constexpr size_t kPackageQueryRecordSize = 35;
constexpr uint16_t kPackageQueryHeaderValue = 3;
void EncodePackageQueryRecord(const PackageQueryRecord& record, uint8_t* dst);
PackageQueryRecord DecodePackageQueryRecord(const uint8_t* src);

// ---------------------------------------------------------------------------------------------
// Replies (service -> installer)

// Authentication link response (0x0002), 58 bytes: the send key text at 8, the heartbeat
// interval at 33, the receive key text at 41 (message offsets 82, 107 and 115). Key texts are
// at most 16 characters, ended by a NUL or by the message.
struct AuthentLinkReplyRecord {
  char SendKey[17] = {};
  int32_t HeartbeatInterval = 0;
  char ReceiveKey[17] = {};
};
constexpr size_t kAuthentLinkReplyRecordSize = 58;
constexpr size_t kSessionKeyTextMax = 16;
constexpr size_t kAuthentSendKeyOffset = kMessageHeaderSize + 8;       // 82
constexpr size_t kAuthentIntervalOffset = kMessageHeaderSize + 33;     // 107
constexpr size_t kAuthentReceiveKeyOffset = kMessageHeaderSize + 41;   // 115
void EncodeAuthentLinkReplyRecord(const AuthentLinkReplyRecord& record, uint8_t* dst);
// Decodes from the whole message, which may end inside the record: false when it ends before the
// receive key's first byte (then no keys can be had); a key cut by the message's end is kept as
// far as it goes.
bool DecodeAuthentLinkReply(const uint8_t* message, size_t length, AuthentLinkReplyRecord* out);

// Login response (0x3011), 51 bytes: the user name.
struct LoginReplyRecord {
  char UserName[52] = {};
};
constexpr size_t kLoginReplyRecordSize = 51;
void EncodeLoginReplyRecord(const LoginReplyRecord& record, uint8_t* dst);
LoginReplyRecord DecodeLoginReplyRecord(const uint8_t* src);
// What a client keeps of a successful login response: its first 51 record bytes as they came,
// zero-padded when the records are shorter.
void KeepLoginReply(const uint8_t* records, size_t length, uint8_t (&kept)[kLoginReplyRecordSize]);

// Update check response (0x3052), 75 bytes: package number at 0 (11), latest version at 11 and
// 15, download host at 19 (51), download port at 70, "proceed" at 74.
struct UpdateCheckReplyRecord {
  char PackageNumber[12] = {};
  VersionPair Latest;
  char Host[52] = {};
  int32_t Port = 0;
  bool Proceed = false;
};
constexpr size_t kUpdateCheckReplyRecordSize = 75;
void EncodeUpdateCheckReplyRecord(const UpdateCheckReplyRecord& record, uint8_t* dst);
UpdateCheckReplyRecord DecodeUpdateCheckReplyRecord(const uint8_t* src);

// Module check response (0x3062): module records (base/module_record.h), 79 bytes each.

// Data bytes one chunk record carries at most.
constexpr size_t kChunkDataSize = 1001;

// File chunk (0x3072), 1229 bytes: chunk index at 0, module name at 4 (51), file name at 55 (59),
// folder at 114 (101), data at 215 (1001), data length at 1216, file offset at 1220, file size at
// 1224, "last chunk of the module" at 1228.
struct FileChunkRecord {
  uint32_t Index = 0;
  char ModuleName[52] = {};
  char FileName[60] = {};
  char Folder[102] = {};
  const uint8_t* Data = nullptr;  // kChunkDataSize bytes inside the record (or to send)
  int32_t DataLength = 0;         // as sent: receivers check it against 0..1001 themselves
  uint32_t Offset = 0;
  uint32_t Total = 0;
  bool Last = false;
};
constexpr size_t kFileChunkRecordSize = 1229;
// Writes the record; DataLength bytes from Data (at most kChunkDataSize), the rest zero.
void EncodeFileChunkRecord(const FileChunkRecord& record, uint8_t* dst);
// Data points into `src`.
FileChunkRecord DecodeFileChunkRecord(const uint8_t* src);

// Base archive chunk (0x3092), 1082 bytes: chunk index at 0, file name at 8 (59), data at 67
// (1001), data length at 1068, file offset at 1072, file size at 1076, "last chunk" at 1081.
struct BaseChunkRecord {
  uint32_t Index = 0;
  char FileName[60] = {};
  const uint8_t* Data = nullptr;
  int32_t DataLength = 0;  // as sent
  uint32_t Offset = 0;
  uint32_t Total = 0;
  bool Last = false;
};
constexpr size_t kBaseChunkRecordSize = 1082;
void EncodeBaseChunkRecord(const BaseChunkRecord& record, uint8_t* dst);
BaseChunkRecord DecodeBaseChunkRecord(const uint8_t* src);

// Package query response (0x5052), 563 bytes: package number at 0 (11), product name at 11 (51),
// the rest zero.
struct PackageQueryReplyRecord {
  char PackageNumber[12] = {};
  char ProductName[52] = {};
};
constexpr size_t kPackageQueryReplyRecordSize = 563;
void EncodePackageQueryReplyRecord(const PackageQueryReplyRecord& record, uint8_t* dst);
PackageQueryReplyRecord DecodePackageQueryReplyRecord(const uint8_t* src);

// ---------------------------------------------------------------------------------------------
// Whole requests: the header and the one record.

constexpr size_t kAuthentLinkRequestSize = kMessageHeaderSize + kAuthentLinkRecordSize;  // 119
constexpr size_t kHeartbeatRequestSize = kMessageHeaderSize + kHeartbeatRecordSize;      // 78
constexpr size_t kUpdateCheckRequestSize = kMessageHeaderSize + kUpdateCheckRecordSize;  // 93
constexpr size_t kModuleCheckRequestSize = kMessageHeaderSize + kModuleCheckRecordSize;  // 134
constexpr size_t kBaseZipRequestSize = kMessageHeaderSize + kBaseZipRecordSize;          // 95
constexpr size_t kPackageQueryRequestSize =
    kMessageHeaderSize + kPackageQueryRecordSize;  // 109

// Each writes its whole request (the size above) at `message`.
void EncodeUpdateCheckRequest(const UpdateCheckRecord& record, uint8_t* message);
void EncodeModuleCheckRequest(const ModuleCheckRecord& record, uint8_t* message);
void EncodeBaseZipRequest(uint8_t* message);
void EncodePackageQueryRequest(const PackageQueryRecord& record, uint8_t* message);

// ---------------------------------------------------------------------------------------------
// Module download requests

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
