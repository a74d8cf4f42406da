// Reply messages of the service.
#include "service/replies.h"

#include <sys/random.h>

#include <cstring>

#include "base/coding.h"
#include "base/module_record.h"
#include "wire/message.h"
#include "wire/records.h"

namespace {

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
  AuthentLinkReplyRecord record;
  if (keys) {
    SetFieldText(record.SendKey, keys->send, kSessionKeyTextMax);
    SetFieldText(record.ReceiveKey, keys->receive, kSessionKeyTextMax);
  }
  record.HeartbeatInterval = heartbeat_interval;
  EncodeAuthentLinkReplyRecord(record, &message[kMessageHeaderSize]);
  return message;
}

std::vector<uint8_t> HeartbeatAnswer() {
  return Message(kMsgHeartbeatAnswer, kHeartbeatRecordSize, 0);
}

std::vector<uint8_t> LoginReply(int32_t error_code, const std::string& user) {
  std::vector<uint8_t> message = Message(kMsgLoginResponse, kLoginReplyRecordSize, error_code);
  LoginReplyRecord record;
  SetFieldText(record.UserName, user);
  EncodeLoginReplyRecord(record, &message[kMessageHeaderSize]);
  return message;
}

std::vector<uint8_t> UpdateCheckReply(int32_t error_code, const std::string& package_number,
                                      int32_t part3, int32_t part4,
                                      const std::string& download_host, int32_t download_port,
                                      bool proceed) {
  std::vector<uint8_t> message =
      Message(kMsgPkgUpdateCheckRsp, kUpdateCheckReplyRecordSize, error_code);
  UpdateCheckReplyRecord record;
  SetFieldText(record.PackageNumber, package_number);
  record.Latest.Part3 = part3;
  record.Latest.Part4 = part4;
  SetFieldText(record.Host, download_host);
  record.Port = download_port;
  record.Proceed = proceed;
  EncodeUpdateCheckReplyRecord(record, &message[kMessageHeaderSize]);
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

std::vector<uint8_t> DownloadRefusal(int32_t error_code) {
  std::vector<uint8_t> message(kMessageHeaderSize);
  EncodeReplyHeader(kMsgFileDownloadRsp, true, 0, kFileChunkRecordSize, error_code,
                    message.data());
  return message;
}

std::vector<uint8_t> PackageQueryReply(uint16_t code, int32_t error_code,
                                       const std::string& package_number,
                                       const std::string& product_name) {
  std::vector<uint8_t> message = Message(code, kPackageQueryReplyRecordSize, error_code);
  PackageQueryReplyRecord record;
  SetFieldText(record.PackageNumber, package_number);
  SetFieldText(record.ProductName, product_name);
  EncodePackageQueryReplyRecord(record, &message[kMessageHeaderSize]);
  return message;
}
