// The test client's frames and exchanges.
#include "service/testing/test_client.h"

#include <cstring>
#include <set>

#include "base/coding.h"
#include "net/frame_codec.h"
#include "wire/frame_format.h"
#include "wire/records.h"

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

std::string TestClient::Frame(const std::vector<uint8_t>& message, char type) {
  std::vector<uint8_t> frame(kFrameBufferSize);
  const CipherContext* context = type == '4' ? &fixed_ : &send_;
  size_t n = BuildFrame(message.data(), message.size(), type, context, frame.data());
  return std::string(reinterpret_cast<char*>(frame.data()), n);
}

bool TestClient::SendMessage(const std::vector<uint8_t>& message, char type) {
  const std::string frame = Frame(message, type);
  return !frame.empty() && socket_.Send(frame);
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
    received_bytes_ += more.size();
    buffer_ += more;
  }
}

bool TestClient::AuthentLink(int32_t* error_code) {
  std::vector<uint8_t> record(kAuthentLinkRecordSize);
  EncodeAuthentLinkRecord(record.data());
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
  AuthentLinkReplyRecord keys;
  if (header.ErrorCode == 0 && DecodeAuthentLinkReply(reply.data(), reply.size(), &keys)) {
    std::memcpy(send_key_, keys.SendKey, sizeof send_key_);
    send_.SetKey(keys.SendKey, std::strlen(keys.SendKey));
    receive_.SetKey(keys.ReceiveKey, std::strlen(keys.ReceiveKey));
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

bool TestClient::Link(const ListenAddress& address, int timeout_ms) {
  int32_t error = -1;
  return Connect(address, timeout_ms) && AuthentLink(&error) && error == 0;
}

bool TestClient::LogIn(const ListenAddress& address, int timeout_ms) {
  int32_t error = -1;
  return Link(address, timeout_ms) &&
         Login(kInstallerAccountText, kInstallerAccountText, &error) && error == 0;
}

bool TestClient::UpdateCheck(const std::string& number, int32_t part3, int32_t part4,
                             UpdateReply* out) {
  UpdateCheckRecord request;
  SetFieldText(request.PackageNumber, number);
  request.Installed.Part3 = part3;
  request.Installed.Part4 = part4;
  std::vector<uint8_t> message(kUpdateCheckRequestSize);
  EncodeUpdateCheckRequest(request, message.data());
  if (!SendMessage(message, '6')) return false;
  std::vector<uint8_t> reply;
  MessageHeader header;
  if (!Receive(&reply, &header) || header.Code != kMsgPkgUpdateCheckRsp ||
      !RecordsFit(header, reply.size(), kUpdateCheckReplyRecordSize) ||
      header.RecordCount != 1) {
    return false;
  }
  const UpdateCheckReplyRecord r = DecodeUpdateCheckReplyRecord(&reply[kMessageHeaderSize]);
  out->error_code = header.ErrorCode;
  out->part3 = r.Latest.Part3;
  out->part4 = r.Latest.Part4;
  out->download_host = r.Host;
  out->download_port = r.Port;
  out->proceed = r.Proceed;
  return true;
}

std::vector<uint8_t> TestClient::ModuleCheckRequest(const std::string& number, int32_t part3,
                                                    int32_t part4) {
  ModuleCheckRecord request;
  SetFieldText(request.PackageNumber, number);
  request.Latest.Part3 = part3;
  request.Latest.Part4 = part4;
  std::vector<uint8_t> message(kModuleCheckRequestSize);
  EncodeModuleCheckRequest(request, message.data());
  return message;
}

bool TestClient::ModuleCheck(const std::string& number, int32_t part3, int32_t part4,
                             std::vector<ModuleRecord>* records, int* messages) {
  return SendMessage(ModuleCheckRequest(number, part3, part4), '6') &&
         ReceiveModuleList(records, messages);
}

bool TestClient::ReceiveModuleList(std::vector<ModuleRecord>* records, int* messages) {
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
    uint8_t r[kModuleDownloadRecordSize];
    EncodeModuleDownloadRecord(ModuleDownloadRecordFor(m), r);
    requests.back().insert(requests.back().end(), r, r + kModuleDownloadRecordSize);
    ++counts.back();
  }
  for (size_t i = 0; i < requests.size(); ++i) {
    if (!SendMessage(
            Request(kMsgDownloadModule, counts[i], kModuleDownloadRecordSize, requests[i]), '6')) {
      return false;
    }
  }
  return true;
}

bool TestClient::RequestRanges(const std::vector<Range>& ranges) {
  std::vector<uint8_t> records;
  for (const Range& range : ranges) {
    ModuleRangeRecord record;
    record.Module = ModuleDownloadRecordFor(range.module);
    record.Offset = range.offset;
    record.Length = range.length;
    uint8_t r[kModuleRangeRecordSize];
    EncodeModuleRangeRecord(record, r);
    records.insert(records.end(), r, r + sizeof r);
  }
  return SendMessage(Request(kMsgDownloadRanges, static_cast<uint16_t>(ranges.size()),
                             kModuleRangeRecordSize, records),
                     '6');
}

bool TestClient::ReceiveRanges(size_t ranges, std::vector<RangeChunk>* chunks) {
  size_t ended = 0;
  while (ended < ranges) {
    std::vector<uint8_t> reply;
    MessageHeader header;
    if (!Receive(&reply, &header) || header.Code != kMsgFileDownloadRsp ||
        header.ErrorCode != 0 || !RecordsFit(header, reply.size(), kFileChunkRecordSize)) {
      return false;
    }
    for (size_t i = 0; i < header.RecordCount; ++i) {
      const FileChunkRecord r =
          DecodeFileChunkRecord(&reply[kMessageHeaderSize + i * header.RecordSize]);
      if (r.DataLength < 0 || r.DataLength > static_cast<int32_t>(kChunkDataSize)) return false;
      RangeChunk chunk;
      chunk.module = r.ModuleName;
      chunk.path = std::string(r.Folder) + r.FileName;
      chunk.data.assign(reinterpret_cast<const char*>(r.Data), static_cast<size_t>(r.DataLength));
      chunk.offset = r.Offset;
      chunk.total = r.Total;
      chunk.last = r.Last;
      chunks->push_back(std::move(chunk));
      if (r.Last) ++ended;
    }
  }
  return true;
}

bool TestClient::DownloadModules(const std::vector<ModuleRecord>& records,
                                 std::map<std::string, std::string>* files, uint64_t* chunks) {
  return RequestModules(records) && ReceiveModules(records, files, chunks);
}

bool TestClient::ReceiveModules(const std::vector<ModuleRecord>& records,
                                std::map<std::string, std::string>* files, uint64_t* chunks) {
  std::multiset<std::string> pending;
  for (const ModuleRecord& m : records) {
    if (m.Kind != 'D') pending.insert(std::string(m.Name, strnlen(m.Name, 50)));
  }
  uint64_t received = 0;
  bool any_message = false;
  while (!pending.empty() || !any_message) {
    std::vector<uint8_t> reply;
    MessageHeader header;
    if (!Receive(&reply, &header) || header.Code != kMsgFileDownloadRsp ||
        !RecordsFit(header, reply.size(), kFileChunkRecordSize)) {
      return false;
    }
    any_message = true;
    for (size_t i = 0; i < header.RecordCount; ++i) {
      const FileChunkRecord r =
          DecodeFileChunkRecord(&reply[kMessageHeaderSize + i * header.RecordSize]);
      if (r.DataLength < 0 || r.DataLength > static_cast<int32_t>(kChunkDataSize)) return false;
      (*files)[std::string(r.Folder) + r.FileName].append(
          reinterpret_cast<const char*>(r.Data), static_cast<size_t>(r.DataLength));
      ++received;
      if (r.Last) {
        auto it = pending.find(r.ModuleName);
        if (it == pending.end()) return false;
        pending.erase(it);
      }
    }
  }
  if (chunks) *chunks = received;
  return true;
}

bool TestClient::DownloadBase(std::string* bytes) {
  std::vector<uint8_t> message(kBaseZipRequestSize);
  EncodeBaseZipRequest(message.data());
  if (!SendMessage(message, '6')) return false;
  while (true) {
    std::vector<uint8_t> reply;
    MessageHeader header;
    if (!Receive(&reply, &header) || header.Code != kMsgSystemDependFileRsp ||
        !RecordsFit(header, reply.size(), kBaseChunkRecordSize)) {
      return false;
    }
    for (size_t i = 0; i < header.RecordCount; ++i) {
      const BaseChunkRecord r =
          DecodeBaseChunkRecord(&reply[kMessageHeaderSize + i * header.RecordSize]);
      if (std::string(r.FileName) != kBaseZipName || r.DataLength < 0 ||
          r.DataLength > static_cast<int32_t>(kChunkDataSize)) {
        return false;
      }
      bytes->append(reinterpret_cast<const char*>(r.Data), static_cast<size_t>(r.DataLength));
      if (r.Last) return true;
    }
  }
}

bool TestClient::PackageQuery(const std::string& number, uint16_t* code,
                              std::string* product_name) {
  PackageQueryRecord request;
  request.LanguageId = 0x0804;
  SetFieldText(request.PackageNumber, number);
  SetFieldText(request.ClientVersion, "quillbank v9.3");
  std::vector<uint8_t> message(kPackageQueryRequestSize);
  EncodePackageQueryRequest(request, message.data());
  if (!SendMessage(message, '1')) return false;
  std::vector<uint8_t> reply;
  MessageHeader header;
  if (!Receive(&reply, &header) ||
      reply.size() < kMessageHeaderSize + kPackageQueryReplyRecordSize) {
    return false;
  }
  *code = header.Code;
  *product_name = DecodePackageQueryReplyRecord(&reply[kMessageHeaderSize]).ProductName;
  return true;
}

bool CheckExchange(const ListenAddress& update, const std::string& number, UpdateReply* reply,
                   std::vector<ModuleRecord>* records) {
  TestClient client;
  int messages = 0;
  return client.LogIn(update) && client.UpdateCheck(number, 0, 0, reply) && reply->proceed &&
         client.ModuleCheck(number, reply->part3, reply->part4, records, &messages);
}
