// The byte layouts of the records: explicit field copies and little-endian numbers.
#include "wire/records.h"

#include <algorithm>

#include "base/coding.h"

namespace {

// A wire text field of `width` bytes from a struct field of `width` + 1.
void PutField(uint8_t* dst, const char* field, size_t width) {
  const size_t n = strnlen(field, width);
  std::memcpy(dst, field, n);
  std::memset(dst + n, 0, width - n);
}

template <size_t N>
void PutField(uint8_t* dst, const char (&field)[N]) {
  PutField(dst, field, N - 1);
}

template <size_t N>
void GetField(char (&field)[N], const uint8_t* src) {
  std::memcpy(field, src, N - 1);
  field[N - 1] = '\0';
}

void PutVersion(uint8_t* dst, VersionPair version) {
  EncodeFixed32(dst, static_cast<uint32_t>(version.Part3));
  EncodeFixed32(dst + 4, static_cast<uint32_t>(version.Part4));
}

VersionPair GetVersion(const uint8_t* src) {
  VersionPair version;
  version.Part3 = DecodeSigned32(src);
  version.Part4 = DecodeSigned32(src + 4);
  return version;
}

// Chunk data: `length` bytes (cut to the data field), the rest of the field zero.
void PutData(uint8_t* dst, const uint8_t* data, int32_t length) {
  size_t n = length > 0 ? std::min(static_cast<size_t>(length), kChunkDataSize) : 0;
  if (data == nullptr) n = 0;
  if (n > 0) std::memcpy(dst, data, n);
  std::memset(dst + n, 0, kChunkDataSize - n);
}

}  // namespace

void EncodeAuthentLinkRecord(uint8_t* dst) {
  std::memset(dst, 0, kAuthentLinkRecordSize);
  std::memcpy(dst + kAuthentLinkTextOffset, kAuthentLinkText, sizeof kAuthentLinkText);
}

bool DecodeAuthentLinkRecord(const uint8_t* src) {
  return std::memcmp(src + kAuthentLinkTextOffset, kAuthentLinkText, sizeof kAuthentLinkText) ==
         0;
}

void EncodeAccountRecord(const AccountRecord& record, uint8_t* dst) {
  std::memcpy(dst, record.UserName, sizeof record.UserName);
  dst[51] = static_cast<uint8_t>(record.Reserved);
  std::memcpy(dst + kAccountPasswordOffset, record.Password, sizeof record.Password);
}

AccountRecord DecodeAccountRecord(const uint8_t* src) {
  AccountRecord record;
  std::memcpy(record.UserName, src, sizeof record.UserName);
  record.Reserved = static_cast<char>(src[51]);
  std::memcpy(record.Password, src + kAccountPasswordOffset, sizeof record.Password);
  return record;
}

AccountRecord InstallerAccountRecord() {
  AccountRecord record;
  std::memcpy(record.UserName, kInstallerAccountText, sizeof kInstallerAccountText);
  std::memcpy(record.Password, kInstallerAccountText, sizeof kInstallerAccountText);
  return record;
}

void EncodeUpdateCheckRecord(const UpdateCheckRecord& record, uint8_t* dst) {
  PutField(dst, record.PackageNumber);
  PutVersion(dst + 11, record.Installed);
}

UpdateCheckRecord DecodeUpdateCheckRecord(const uint8_t* src) {
  UpdateCheckRecord record;
  GetField(record.PackageNumber, src);
  record.Installed = GetVersion(src + 11);
  return record;
}

void EncodeModuleCheckRecord(const ModuleCheckRecord& record, uint8_t* dst) {
  dst[0] = static_cast<uint8_t>(record.Mark);
  PutField(dst + 1, record.PackageNumber);
  PutVersion(dst + 12, record.Latest);
  std::memcpy(dst + 20, record.Reserved, sizeof record.Reserved);
}

ModuleCheckRecord DecodeModuleCheckRecord(const uint8_t* src) {
  ModuleCheckRecord record;
  record.Mark = static_cast<char>(src[0]);
  GetField(record.PackageNumber, src + 1);
  record.Latest = GetVersion(src + 12);
  std::memcpy(record.Reserved, src + 20, sizeof record.Reserved);
  return record;
}

void EncodeModuleDownloadRecord(const ModuleDownloadRecord& record, uint8_t* dst) {
  std::memset(dst, 0, 4);
  PutField(dst + 4, record.PackageKey);
  PutField(dst + 15, record.Name);
  EncodeFixed32(dst + 66, static_cast<uint32_t>(record.Num1));
  EncodeFixed32(dst + 70, static_cast<uint32_t>(record.Num2));
}

ModuleDownloadRecord DecodeModuleDownloadRecord(const uint8_t* src) {
  ModuleDownloadRecord record;
  GetField(record.PackageKey, src + 4);
  GetField(record.Name, src + 15);
  record.Num1 = DecodeSigned32(src + 66);
  record.Num2 = DecodeSigned32(src + 70);
  return record;
}

void EncodeModuleRangeRecord(const ModuleRangeRecord& record, uint8_t* dst) {
  EncodeModuleDownloadRecord(record.Module, dst);
  EncodeFixed32(dst + 74, record.Offset);
  EncodeFixed32(dst + 78, record.Length);
}

ModuleRangeRecord DecodeModuleRangeRecord(const uint8_t* src) {
  ModuleRangeRecord record;
  record.Module = DecodeModuleDownloadRecord(src);
  record.Offset = DecodeFixed32(src + 74);
  record.Length = DecodeFixed32(src + 78);
  return record;
}

ModuleDownloadRecord ModuleDownloadRecordFor(const ModuleRecord& module) {
  ModuleDownloadRecord record;
  SetFieldText(record.PackageKey,
               std::string_view(module.PackageKey, strnlen(module.PackageKey, 10)));
  SetFieldText(record.Name, std::string_view(module.Name, strnlen(module.Name, 50)));
  record.Num1 = module.Num1;
  record.Num2 = module.Num2;
  return record;
}

void EncodeBaseZipRecord(const BaseZipRecord& record, uint8_t* dst) {
  PutField(dst, record.Name);
}

BaseZipRecord DecodeBaseZipRecord(const uint8_t* src) {
  BaseZipRecord record;
  GetField(record.Name, src);
  return record;
}

void EncodePackageQueryRecord(const PackageQueryRecord& record, uint8_t* dst) {
  dst[0] = static_cast<uint8_t>(record.Mark);
  EncodeFixed16(dst + 1, record.LanguageId);
  PutField(dst + 3, record.PackageNumber);
  PutField(dst + 14, record.ClientVersion);
}

PackageQueryRecord DecodePackageQueryRecord(const uint8_t* src) {
  PackageQueryRecord record;
  record.Mark = static_cast<char>(src[0]);
  record.LanguageId = DecodeFixed16(src + 1);
  GetField(record.PackageNumber, src + 3);
  GetField(record.ClientVersion, src + 14);
  return record;
}

void EncodeAuthentLinkReplyRecord(const AuthentLinkReplyRecord& record, uint8_t* dst) {
  std::memset(dst, 0, kAuthentLinkReplyRecordSize);
  const size_t send = kAuthentSendKeyOffset - kMessageHeaderSize;
  const size_t receive = kAuthentReceiveKeyOffset - kMessageHeaderSize;
  std::memcpy(dst + send, record.SendKey, strnlen(record.SendKey, kSessionKeyTextMax));
  EncodeFixed32(dst + (kAuthentIntervalOffset - kMessageHeaderSize),
                static_cast<uint32_t>(record.HeartbeatInterval));
  std::memcpy(dst + receive, record.ReceiveKey, strnlen(record.ReceiveKey, kSessionKeyTextMax));
}

namespace {

// A key text at `offset` of the message: up to 16 characters, ended by a NUL or the message.
void GetKeyText(const uint8_t* message, size_t length, size_t offset, char (&key)[17]) {
  size_t n = 0;
  while (n < kSessionKeyTextMax && offset + n < length && message[offset + n] != 0) ++n;
  std::memcpy(key, message + offset, n);
  key[n] = '\0';
}

}  // namespace

bool DecodeAuthentLinkReply(const uint8_t* message, size_t length, AuthentLinkReplyRecord* out) {
  if (message == nullptr || length <= kAuthentReceiveKeyOffset) return false;
  GetKeyText(message, length, kAuthentSendKeyOffset, out->SendKey);
  out->HeartbeatInterval = DecodeSigned32(message + kAuthentIntervalOffset);
  GetKeyText(message, length, kAuthentReceiveKeyOffset, out->ReceiveKey);
  return true;
}

void EncodeLoginReplyRecord(const LoginReplyRecord& record, uint8_t* dst) {
  PutField(dst, record.UserName);
}

LoginReplyRecord DecodeLoginReplyRecord(const uint8_t* src) {
  LoginReplyRecord record;
  GetField(record.UserName, src);
  return record;
}

void KeepLoginReply(const uint8_t* records, size_t length,
                    uint8_t (&kept)[kLoginReplyRecordSize]) {
  std::memset(kept, 0, sizeof kept);
  if (records != nullptr) std::memcpy(kept, records, std::min(length, sizeof kept));
}

void EncodeUpdateCheckReplyRecord(const UpdateCheckReplyRecord& record, uint8_t* dst) {
  PutField(dst, record.PackageNumber);
  PutVersion(dst + 11, record.Latest);
  PutField(dst + 19, record.Host);
  EncodeFixed32(dst + 70, static_cast<uint32_t>(record.Port));
  dst[74] = record.Proceed ? 1 : 0;
}

UpdateCheckReplyRecord DecodeUpdateCheckReplyRecord(const uint8_t* src) {
  UpdateCheckReplyRecord record;
  GetField(record.PackageNumber, src);
  record.Latest = GetVersion(src + 11);
  GetField(record.Host, src + 19);
  record.Port = DecodeSigned32(src + 70);
  record.Proceed = src[74] != 0;
  return record;
}

void EncodeFileChunkRecord(const FileChunkRecord& record, uint8_t* dst) {
  EncodeFixed32(dst, record.Index);
  PutField(dst + 4, record.ModuleName);
  PutField(dst + 55, record.FileName);
  PutField(dst + 114, record.Folder);
  PutData(dst + 215, record.Data, record.DataLength);
  EncodeFixed32(dst + 1216, static_cast<uint32_t>(record.DataLength));
  EncodeFixed32(dst + 1220, record.Offset);
  EncodeFixed32(dst + 1224, record.Total);
  dst[1228] = record.Last ? 1 : 0;
}

FileChunkRecord DecodeFileChunkRecord(const uint8_t* src) {
  FileChunkRecord record;
  record.Index = DecodeFixed32(src);
  GetField(record.ModuleName, src + 4);
  GetField(record.FileName, src + 55);
  GetField(record.Folder, src + 114);
  record.Data = src + 215;
  record.DataLength = DecodeSigned32(src + 1216);
  record.Offset = DecodeFixed32(src + 1220);
  record.Total = DecodeFixed32(src + 1224);
  record.Last = src[1228] != 0;
  return record;
}

void EncodeBaseChunkRecord(const BaseChunkRecord& record, uint8_t* dst) {
  EncodeFixed32(dst, record.Index);
  std::memset(dst + 4, 0, 4);
  PutField(dst + 8, record.FileName);
  PutData(dst + 67, record.Data, record.DataLength);
  EncodeFixed32(dst + 1068, static_cast<uint32_t>(record.DataLength));
  EncodeFixed32(dst + 1072, record.Offset);
  EncodeFixed32(dst + 1076, record.Total);
  dst[1080] = 0;
  dst[1081] = record.Last ? 1 : 0;
}

BaseChunkRecord DecodeBaseChunkRecord(const uint8_t* src) {
  BaseChunkRecord record;
  record.Index = DecodeFixed32(src);
  GetField(record.FileName, src + 8);
  record.Data = src + 67;
  record.DataLength = DecodeSigned32(src + 1068);
  record.Offset = DecodeFixed32(src + 1072);
  record.Total = DecodeFixed32(src + 1076);
  record.Last = src[1081] != 0;
  return record;
}

void EncodePackageQueryReplyRecord(const PackageQueryReplyRecord& record, uint8_t* dst) {
  std::memset(dst, 0, kPackageQueryReplyRecordSize);
  PutField(dst, record.PackageNumber);
  PutField(dst + 11, record.ProductName);
}

PackageQueryReplyRecord DecodePackageQueryReplyRecord(const uint8_t* src) {
  PackageQueryReplyRecord record;
  GetField(record.PackageNumber, src);
  GetField(record.ProductName, src + 11);
  return record;
}

namespace {

template <typename Record>
void EncodeRequest(uint16_t code, size_t record_size, const Record& record,
                   void (*encode)(const Record&, uint8_t*), uint8_t* message) {
  EncodeRequestHeader(code, 1, static_cast<uint32_t>(record_size), message);
  encode(record, message + kMessageHeaderSize);
}

}  // namespace

void EncodeUpdateCheckRequest(const UpdateCheckRecord& record, uint8_t* message) {
  EncodeRequest(kMsgQryCheckUpdate, kUpdateCheckRecordSize, record, EncodeUpdateCheckRecord,
                message);
}

void EncodeModuleCheckRequest(const ModuleCheckRecord& record, uint8_t* message) {
  EncodeRequest(kMsgQryCheckModule, kModuleCheckRecordSize, record, EncodeModuleCheckRecord,
                message);
}

void EncodeBaseZipRequest(uint8_t* message) {
  BaseZipRecord record;
  SetFieldText(record.Name, kBaseZipName);
  EncodeRequest(kMsgDownloadBaseZip, kBaseZipRecordSize, record, EncodeBaseZipRecord, message);
}

void EncodePackageQueryRequest(const PackageQueryRecord& record, uint8_t* message) {
  MessageHeader header;
  header.Reserved0 = kPackageQueryHeaderValue;
  header.Code = kMsgPackageQuery;
  header.RecordCount = 1;
  header.RecordSize = kPackageQueryRecordSize;
  EncodeMessageHeader(header, message);
  EncodePackageQueryRecord(record, message + kMessageHeaderSize);
}
