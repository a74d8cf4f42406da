// Reply messages of the service.
#include "service/replies.h"

#include <sys/random.h>

#include <cstring>

#include "base/coding.h"
#include "base/module_record.h"
#include "net/message.h"
#include "net/protocol.h"

namespace {

void PutText(uint8_t* field, size_t width, const std::string& text) {
  size_t n = std::min(text.size(), width - 1);
  std::memcpy(field, text.data(), n);
}

std::vector<uint8_t> Message(uint16_t code, size_t record_size, int32_t error_code) {
  std::vector<uint8_t> message(kMessageHeaderSize + record_size, 0);
  EncodeReplyHeader(code, true, 1, record_size, error_code, message.data());
  return message;
}

}  // namespace

void EncodeReplyHeader(uint16_t code, bool last, size_t count, size_t record_size,
                       int32_t error_code, uint8_t* dst) {
  MessageHeader header;
  header.Code = code;
  header.Chain = last ? kChainLast : '1';
  header.RecordCount = static_cast<uint16_t>(count);
  header.RecordSize = static_cast<uint32_t>(record_size);
  header.ErrorCode = error_code;
  EncodeMessageHeader(header, dst);
}

SessionKeyTexts NewSessionKeys() {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+-";  // 64 characters
  uint8_t random[32];
  size_t got = 0;
  while (got < sizeof(random)) {
    ssize_t n = getrandom(random + got, sizeof(random) - got, 0);
    if (n > 0) got += static_cast<size_t>(n);
  }
  SessionKeyTexts keys;
  for (int i = 0; i < 16; ++i) {
    keys.send[i] = kAlphabet[random[i] & 63];
    keys.receive[i] = kAlphabet[random[16 + i] & 63];
  }
  return keys;
}

std::vector<uint8_t> AuthentLinkReply(int32_t error_code, const SessionKeyTexts* keys,
                                      int32_t heartbeat_interval) {
  std::vector<uint8_t> message =
      Message(kMsgAuthentLinkResponse, kAuthentLinkReplyRecordSize, error_code);
  if (keys) {
    std::memcpy(&message[kAuthentSendKeyOffset], keys->send, 16);
    std::memcpy(&message[kAuthentReceiveKeyOffset], keys->receive, 16);
  }
  EncodeFixed32(&message[kAuthentIntervalOffset], static_cast<uint32_t>(heartbeat_interval));
  return message;
}

std::vector<uint8_t> HeartbeatAnswer() { return Message(kMsgHeartbeatAnswer, 4, 0); }

std::vector<uint8_t> LoginReply(int32_t error_code, const std::string& user) {
  std::vector<uint8_t> message = Message(kMsgLoginResponse, kLoginReplyRecordSize, error_code);
  PutText(&message[kMessageHeaderSize], kLoginReplyRecordSize, user);
  return message;
}

std::vector<uint8_t> UpdateCheckReply(int32_t error_code, const std::string& package_number,
                                      int32_t part3, int32_t part4,
                                      const std::string& download_host, int32_t download_port,
                                      bool proceed) {
  std::vector<uint8_t> message =
      Message(kMsgPkgUpdateCheckRsp, kUpdateCheckReplyRecordSize, error_code);
  uint8_t* record = &message[kMessageHeaderSize];
  PutText(record, 11, package_number);
  EncodeFixed32(record + 11, static_cast<uint32_t>(part3));
  EncodeFixed32(record + 15, static_cast<uint32_t>(part4));
  PutText(record + 19, 51, download_host);
  EncodeFixed32(record + 70, static_cast<uint32_t>(download_port));
  record[74] = proceed ? 1 : 0;
  return message;
}

std::vector<uint8_t> ModuleCheckReply(const std::vector<PackageModule>& modules, size_t first,
                                      size_t count, bool last) {
  std::vector<uint8_t> message(kMessageHeaderSize + count * kModuleRecordSize, 0);
  EncodeReplyHeader(kMsgPkgModuleCheckRsp, last, count, kModuleRecordSize, 0, message.data());
  for (size_t i = 0; i < count; ++i) {
    const PackageModule& m = modules[first + i];
    ModuleRecord record{};
    std::memcpy(record.PackageKey, m.package_key.data(), std::min<size_t>(m.package_key.size(), 10));
    std::memcpy(record.Name, m.name.data(), std::min<size_t>(m.name.size(), 50));
    record.Num1 = m.num1;
    record.Num2 = m.num2;
    record.Kind = m.kind;
    std::memcpy(record.Tail, m.tail.data(), std::min<size_t>(m.tail.size(), 8));
    EncodeModuleRecord(record, &message[kMessageHeaderSize + i * kModuleRecordSize]);
  }
  return message;
}

std::vector<uint8_t> PackageQueryReply(uint16_t code, int32_t error_code,
                                       const std::string& package_number,
                                       const std::string& product_name) {
  std::vector<uint8_t> message = Message(code, kPackageQueryReplyRecordSize, error_code);
  uint8_t* record = &message[kMessageHeaderSize];
  PutText(record, 11, package_number);
  PutText(record + 11, 51, product_name);
  return message;
}

void EncodeModuleFileChunk(const PackageModule& module, const ChunkInfo& chunk, uint8_t* dst) {
  std::memset(dst, 0, kModuleFileChunkRecordSize);
  EncodeFixed32(dst, chunk.index);
  PutText(dst + 4, 51, module.name);
  PutText(dst + 55, 59, module.file_part);
  PutText(dst + 114, 101, module.folder_part);
  if (chunk.length > 0) std::memcpy(dst + 215, chunk.data, chunk.length);
  EncodeFixed32(dst + 1216, static_cast<uint32_t>(chunk.length));
  EncodeFixed32(dst + 1220, chunk.offset);
  EncodeFixed32(dst + 1224, chunk.total);
  dst[1228] = chunk.last ? 1 : 0;
}

void EncodeBaseZipChunk(const std::string& file_name, const ChunkInfo& chunk, uint8_t* dst) {
  std::memset(dst, 0, kBaseZipChunkRecordSize);
  EncodeFixed32(dst, chunk.index);
  PutText(dst + 8, 59, file_name);
  if (chunk.length > 0) std::memcpy(dst + 67, chunk.data, chunk.length);
  EncodeFixed32(dst + 1068, static_cast<uint32_t>(chunk.length));
  EncodeFixed32(dst + 1072, chunk.offset);
  EncodeFixed32(dst + 1076, chunk.total);
  dst[1081] = chunk.last ? 1 : 0;
}
