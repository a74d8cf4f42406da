// The test client's frames and exchanges.
#include "service/testing/test_client.h"

#include <cstring>
#include <set>

#include "base/coding.h"
#include "net/frame_codec.h"
#include "net/frame_format.h"
#include "net/protocol.h"

namespace {

void PutText(uint8_t* field, size_t width, const std::string& text) {
  std::memcpy(field, text.data(), std::min(text.size(), width - 1));
}

}  // namespace

TestClient::TestClient() { fixed_.SetKey(kBuiltInKey, sizeof(kBuiltInKey) - 1); }

bool TestClient::Connect(const ListenAddress& address, int timeout_ms) {
  return socket_.Connect(address.host, address.port, timeout_ms);
}

std::vector<uint8_t> TestClient::Request(uint16_t code, uint16_t count, uint32_t record_size,
                                         const std::vector<uint8_t>& records) {
  std::vector<uint8_t> message(kMessageHeaderSize);
  EncodeRequestHeader(code, count, record_size, message.data());
  message.insert(message.end(), records.begin(), records.end());
  return message;
}

bool TestClient::SendMessage(const std::vector<uint8_t>& message, char type) {
  std::vector<uint8_t> frame(kFrameBufferSize);
  const CipherContext* context = type == '4' ? &fixed_ : &send_;
  size_t n = BuildFrame(message.data(), message.size(), type, context, frame.data());
  if (n == 0) return false;
  return socket_.Send(std::string(reinterpret_cast<char*>(frame.data()), n));
}

bool TestClient::Receive(std::vector<uint8_t>* message, MessageHeader* header) {
  static thread_local FrameDecodeBuffers buffers;
  while (true) {
    char type = 0;
    uint32_t payload = 0;
    const uint8_t* data = reinterpret_cast<const uint8_t*>(buffer_.data());
    FrameScan scan = ScanFrame(data, buffer_.size(), 0, &type, &payload);
    if (scan == FrameScan::kComplete) {
      const uint8_t* decoded = nullptr;
      size_t length = 0;
      if (DecodeFramePayload(type, data + kFrameHeaderSize, payload, fixed_, receive_, &buffers,
                             &decoded, &length) &&
          DecodeMessageHeader(decoded, length, header)) {
        message->assign(decoded, decoded + length);
        buffer_.erase(0, kFrameHeaderSize + payload);
        return true;
      }
      scan = FrameScan::kInvalid;
    }
    if (scan == FrameScan::kInvalid) {
      ++dropped_frames_;
      buffer_.clear();
    }
    std::string more = socket_.ReceiveSome();
    if (more.empty()) return false;
    buffer_ += more;
  }
}

bool TestClient::AuthentLink(int32_t* error_code) {
  std::vector<uint8_t> record(kAuthentLinkRecordSize, 0);
  std::memcpy(&record[kAuthentLinkTextOffset], kAuthentLinkText, sizeof(kAuthentLinkText));
  if (!SendMessage(Request(kMsgAuthentLinkRequest, 1, kAuthentLinkRecordSize, record), '4')) {
    return false;
  }
  std::vector<uint8_t> reply;
  MessageHeader header;
  if (!Receive(&reply, &header) || header.Code != kMsgAuthentLinkResponse ||
      reply.size() < kAuthentReceiveKeyOffset + 17) {
    return false;
  }
  *error_code = header.ErrorCode;
  if (header.ErrorCode == 0) {
    CopyTextField(send_key_, &reply[kAuthentSendKeyOffset], 16);
    send_.SetKey(&reply[kAuthentSendKeyOffset], strnlen(send_key_, 16));
    char receive_key[17];
    CopyTextField(receive_key, &reply[kAuthentReceiveKeyOffset], 16);
    receive_.SetKey(receive_key, strnlen(receive_key, 16));
  }
  return true;
}

bool TestClient::Login(const std::string& user, const std::string& password,
                       int32_t* error_code) {
  AccountRecord account;
  std::strncpy(account.UserName, user.c_str(), 50);
  std::strncpy(account.Password, password.c_str(), 20);
  std::vector<uint8_t> record(kAccountRecordSize);
  EncodeAccountRecord(account, record.data());
  std::vector<uint8_t> message = Request(kMsgLoginRequest, 1, kAccountRecordSize, record);
  std::memcpy(&message[kMessageUserNameOffset], user.data(), std::min<size_t>(user.size(), 50));
  if (!SendMessage(message, '6')) return false;
  std::vector<uint8_t> reply;
  MessageHeader header;
  if (!Receive(&reply, &header) || header.Code != kMsgLoginResponse) return false;
  *error_code = header.ErrorCode;
  return true;
}

bool TestClient::UpdateCheck(const std::string& number, int32_t part3, int32_t part4,
                             UpdateReply* out) {
  std::vector<uint8_t> record(19, 0);
  PutText(record.data(), 10, number);
  EncodeFixed32(&record[11], static_cast<uint32_t>(part3));
  EncodeFixed32(&record[15], static_cast<uint32_t>(part4));
  if (!SendMessage(Request(kMsgQryCheckUpdate, 1, 19, record), '6')) return false;
  std::vector<uint8_t> reply;
  MessageHeader header;
  if (!Receive(&reply, &header) || header.Code != kMsgPkgUpdateCheckRsp ||
      !RecordsFit(header, reply.size(), 75) || header.RecordCount != 1) {
    return false;
  }
  const uint8_t* r = &reply[kMessageHeaderSize];
  char host[52];
  CopyTextField(host, r + 19, 51);
  out->error_code = header.ErrorCode;
  out->part3 = DecodeSigned32(r + 11);
  out->part4 = DecodeSigned32(r + 15);
  out->download_host = host;
  out->download_port = DecodeSigned32(r + 70);
  out->proceed = r[74] != 0;
  return true;
}

bool TestClient::ModuleCheck(const std::string& number, int32_t part3, int32_t part4,
                             std::vector<ModuleRecord>* records, int* messages) {
  std::vector<uint8_t> record(60, 0);
  record[0] = 'P';
  PutText(&record[1], 10, number);
  EncodeFixed32(&record[12], static_cast<uint32_t>(part3));
  EncodeFixed32(&record[16], static_cast<uint32_t>(part4));
  if (!SendMessage(Request(kMsgQryCheckModule, 1, 60, record), '6')) return false;
  *messages = 0;
  while (true) {
    std::vector<uint8_t> reply;
    MessageHeader header;
    if (!Receive(&reply, &header) || header.Code != kMsgPkgModuleCheckRsp ||
        !RecordsFit(header, reply.size(), kModuleRecordSize)) {
      return false;
    }
    ++*messages;
    for (size_t i = 0; i < header.RecordCount; ++i) {
      records->push_back(
          DecodeModuleRecord(&reply[kMessageHeaderSize + i * header.RecordSize]));
    }
    if (header.Chain == kChainLast) return true;
  }
}

bool TestClient::RequestModules(const std::vector<ModuleRecord>& records) {
  // As installers do: requests of at most kMaxModulesPerRequest records, one after the other.
  std::vector<std::vector<uint8_t>> requests(1);
  std::vector<uint16_t> counts(1, 0);
  for (const ModuleRecord& m : records) {
    if (m.Kind == 'D') continue;
    if (counts.back() == kMaxModulesPerRequest) {
      requests.emplace_back();
      counts.push_back(0);
    }
    uint8_t r[74] = {};
    std::memcpy(r + 4, m.PackageKey, strnlen(m.PackageKey, 10));
    std::memcpy(r + 15, m.Name, strnlen(m.Name, 50));
    EncodeFixed32(r + 66, static_cast<uint32_t>(m.Num1));
    EncodeFixed32(r + 70, static_cast<uint32_t>(m.Num2));
    requests.back().insert(requests.back().end(), r, r + 74);
    ++counts.back();
  }
  for (size_t i = 0; i < requests.size(); ++i) {
    if (!SendMessage(Request(kMsgDownloadModule, counts[i], 74, requests[i]), '6')) return false;
  }
  return true;
}

bool TestClient::DownloadModules(const std::vector<ModuleRecord>& records,
                                 std::map<std::string, std::string>* files, uint64_t* chunks) {
  std::multiset<std::string> pending;
  for (const ModuleRecord& m : records) {
    if (m.Kind != 'D') pending.insert(std::string(m.Name, strnlen(m.Name, 50)));
  }
  if (!RequestModules(records)) return false;
  uint64_t received = 0;
  bool any_message = false;
  while (!pending.empty() || !any_message) {
    std::vector<uint8_t> reply;
    MessageHeader header;
    if (!Receive(&reply, &header) || header.Code != kMsgFileDownloadRsp ||
        !RecordsFit(header, reply.size(), 1229)) {
      return false;
    }
    any_message = true;
    for (size_t i = 0; i < header.RecordCount; ++i) {
      const uint8_t* r = &reply[kMessageHeaderSize + i * header.RecordSize];
      char name[52], file[60], folder[102];
      CopyTextField(name, r + 4, 51);
      CopyTextField(file, r + 55, 59);
      CopyTextField(folder, r + 114, 101);
      int32_t n = DecodeSigned32(r + 1216);
      if (n < 0 || n > 1001) return false;
      (*files)[std::string(folder) + file].append(reinterpret_cast<const char*>(r + 215),
                                                  static_cast<size_t>(n));
      ++received;
      if (r[1228]) {
        auto it = pending.find(name);
        if (it == pending.end()) return false;
        pending.erase(it);
      }
    }
  }
  if (chunks) *chunks = received;
  return true;
}

bool TestClient::DownloadBase(std::string* bytes) {
  std::vector<uint8_t> record(21, 0);
  PutText(record.data(), 21, "SystemDepend.zip");
  if (!SendMessage(Request(kMsgDownloadBaseZip, 1, 21, record), '6')) return false;
  while (true) {
    std::vector<uint8_t> reply;
    MessageHeader header;
    if (!Receive(&reply, &header) || header.Code != kMsgSystemDependFileRsp ||
        !RecordsFit(header, reply.size(), 1082)) {
      return false;
    }
    for (size_t i = 0; i < header.RecordCount; ++i) {
      const uint8_t* r = &reply[kMessageHeaderSize + i * header.RecordSize];
      char name[60];
      CopyTextField(name, r + 8, 59);
      int32_t n = DecodeSigned32(r + 1068);
      if (std::string(name) != "SystemDepend.zip" || n < 0 || n > 1001) return false;
      bytes->append(reinterpret_cast<const char*>(r + 67), static_cast<size_t>(n));
      if (r[1081]) return true;
    }
  }
}

bool TestClient::PackageQuery(const std::string& number, uint16_t* code,
                              std::string* product_name) {
  std::vector<uint8_t> record(35, 0);
  record[0] = 'W';
  EncodeFixed16(&record[1], 0x0804);
  PutText(&record[3], 11, number);
  PutText(&record[14], 21, "quillbank v9.3");
  std::vector<uint8_t> message = Request(kMsgPackageQuery, 1, 35, record);
  EncodeFixed16(message.data(), 3);
  if (!SendMessage(message, '1')) return false;
  std::vector<uint8_t> reply;
  MessageHeader header;
  if (!Receive(&reply, &header) || reply.size() < kMessageHeaderSize + 563) return false;
  *code = header.Code;
  char name[52];
  CopyTextField(name, &reply[kMessageHeaderSize + 11], 51);
  *product_name = name;
  return true;
}

bool CheckExchange(const ListenAddress& update, const std::string& number, UpdateReply* reply,
                   std::vector<ModuleRecord>* records) {
  TestClient client;
  int32_t error = -1;
  int messages = 0;
  return client.Connect(update) && client.AuthentLink(&error) && error == 0 &&
         client.Login("kivor", "kivor", &error) && error == 0 &&
         client.UpdateCheck(number, 0, 0, reply) && reply->proceed &&
         client.ModuleCheck(number, reply->part3, reply->part4, records, &messages);
}
