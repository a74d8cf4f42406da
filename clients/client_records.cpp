// Encoding of the clients' requests and decoding of the reply records they read. Every decoder
// reads within the record size its caller has checked.
#include "clients/client_records.h"

#include <cstring>

#include "base/coding.h"
#include "net/message.h"

namespace {

void PutText(uint8_t* dst, const char* text, size_t max_length) {
  if (text != nullptr) std::memcpy(dst, text, strnlen(text, max_length));
}

}  // namespace

void EncodeUpdateCheckRequest(const char* package_number, VersionPair installed,
                              uint8_t* message) {
  std::memset(message, 0, kUpdateCheckRequestSize);
  EncodeRequestHeader(kMsgQryCheckUpdate, 1, kUpdateCheckRecordSize, message);
  uint8_t* record = message + kMessageHeaderSize;
  PutText(record, package_number, kPackageNumberMaxLength);
  EncodeFixed32(record + 11, static_cast<uint32_t>(installed.Part3));
  EncodeFixed32(record + 15, static_cast<uint32_t>(installed.Part4));
}

void EncodeModuleCheckRequest(const char* package_number, VersionPair latest, uint8_t* message) {
  std::memset(message, 0, kModuleCheckRequestSize);
  EncodeRequestHeader(kMsgQryCheckModule, 1, kModuleCheckRecordSize, message);
  uint8_t* record = message + kMessageHeaderSize;
  record[0] = 'P';
  PutText(record + 1, package_number, kPackageNumberMaxLength);
  EncodeFixed32(record + 12, static_cast<uint32_t>(latest.Part3));
  EncodeFixed32(record + 16, static_cast<uint32_t>(latest.Part4));
}

void EncodeBaseZipRequest(uint8_t* message) {
  std::memset(message, 0, kBaseZipRequestSize);
  EncodeRequestHeader(kMsgDownloadBaseZip, 1, kBaseZipRecordSize, message);
  PutText(message + kMessageHeaderSize, kBaseZipName, kBaseZipRecordSize - 1);
}

void EncodeModuleDownloadRecord(const ModuleRecord& module, uint8_t* dst) {
  std::memset(dst, 0, kModuleDownloadRecordSize);
  std::memcpy(dst + 4, module.PackageKey, strnlen(module.PackageKey, 10));
  std::memcpy(dst + 15, module.Name, strnlen(module.Name, 50));
  EncodeFixed32(dst + 66, static_cast<uint32_t>(module.Num1));
  EncodeFixed32(dst + 70, static_cast<uint32_t>(module.Num2));
}

std::string FieldText(const char* field, size_t max_length) {
  return std::string(field, strnlen(field, max_length));
}

UpdateCheckReply DecodeUpdateCheckReply(const uint8_t* record) {
  UpdateCheckReply reply;
  reply.Latest.Part3 = DecodeSigned32(record + 11);
  reply.Latest.Part4 = DecodeSigned32(record + 15);
  CopyTextField(reply.Host, record + 19, sizeof reply.Host - 1);
  reply.Port = DecodeSigned32(record + 70);
  reply.Proceed = record[74] != 0;
  return reply;
}

FileChunk DecodeFileChunk(const uint8_t* record) {
  FileChunk chunk;
  CopyTextField(chunk.ModuleName, record + 4, 51);
  CopyTextField(chunk.FileName, record + 55, 59);
  CopyTextField(chunk.Folder, record + 114, 101);
  chunk.Data = record + 215;
  chunk.DataLength = DecodeSigned32(record + 1216);
  chunk.Last = record[1228] != 0;
  return chunk;
}

BaseChunk DecodeBaseChunk(const uint8_t* record) {
  BaseChunk chunk;
  CopyTextField(chunk.FileName, record + 8, 59);
  chunk.Data = record + 67;
  chunk.DataLength = DecodeSigned32(record + 1068);
  chunk.Last = record[1081] != 0;
  return chunk;
}
