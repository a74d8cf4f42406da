// The clients' test helpers.
#include "clients/testing/client_harness.h"

#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

#include "base/coding.h"
#include "base/file_system.h"
#include "core/install_log.h"
#include "wire/message.h"
#include "wire/records.h"

namespace {

uint8_t* Bytes(std::string* record) { return reinterpret_cast<uint8_t*>(&(*record)[0]); }

std::string Le16(uint32_t value) {
  return std::string{static_cast<char>(value & 0xFF), static_cast<char>((value >> 8) & 0xFF)};
}

std::string Le32(uint32_t value) { return Le16(value & 0xFFFF) + Le16(value >> 16); }

}  // namespace

std::vector<unsigned> WindowMessages::Kinds() {
  std::vector<unsigned> kinds;
  for (const Entry& e : Entries()) kinds.push_back(e.message);
  return kinds;
}

bool ServiceSide::Open(ProcessClient* client, int32_t authent_error) {
  if (!peer_.listening()) return false;
  const AccountRecord record = InstallerAccountRecord();
  if (!client->Connect(kLoopbackAddress, peer_.port(), &record) || !peer_.Accept()) return false;
  char type = 0;
  std::string request;
  if (!peer_.ReadMessage(fixed_, CipherContext(), &type, &request) ||
      MessageCode(request) != kMsgAuthentLinkRequest) {
    return false;
  }
  return peer_.SendMessage(
      MakeAuthentLinkResponse(authent_error, kTestSendKey, 0, kTestReceiveKey), '4', &fixed_);
}

bool ServiceSide::Read(std::string* message, int timeout_ms) {
  char type = 0;
  return peer_.ReadMessage(fixed_, send_, &type, message, timeout_ms) && type == '6';
}

bool ServiceSide::Send(const std::string& message) {
  return peer_.SendMessage(message, '6', &receive_);
}

bool ServiceSide::Quiet(int timeout_ms) {
  std::string frame;
  return !peer_.ReadFrame(&frame, timeout_ms);
}

std::string UpdateCheckReplyBytes(int32_t part3, int32_t part4, const std::string& host,
                                  int32_t port, bool proceed, size_t record_size) {
  UpdateCheckReplyRecord reply;
  reply.Latest.Part3 = part3;
  reply.Latest.Part4 = part4;
  SetFieldText(reply.Host, host, sizeof reply.Host - 1);
  reply.Port = port;
  reply.Proceed = proceed;
  std::string record(std::max(record_size, kUpdateCheckReplyRecordSize), '\0');
  EncodeUpdateCheckReplyRecord(reply, Bytes(&record));
  record.resize(record_size);
  return record;
}

std::string ModuleRecordBytes(const std::string& key, const std::string& name, int32_t num1,
                              int32_t num2, char kind) {
  ModuleRecord module{};
  std::memcpy(module.PackageKey, key.data(), std::min(key.size(), sizeof module.PackageKey));
  std::memcpy(module.Name, name.data(), std::min(name.size(), sizeof module.Name));
  module.Num1 = num1;
  module.Num2 = num2;
  module.Kind = kind;
  std::memcpy(module.Tail, "tail-xyz", sizeof module.Tail);
  std::string record(kModuleRecordSize, '\0');
  EncodeModuleRecord(module, Bytes(&record));
  return record;
}

std::string FileChunkBytes(const std::string& module, const std::string& folder,
                           const std::string& file, const std::string& data, bool last,
                           size_t record_size) {
  FileChunkRecord chunk;
  SetFieldText(chunk.ModuleName, module, sizeof chunk.ModuleName - 1);
  SetFieldText(chunk.FileName, file, sizeof chunk.FileName - 1);
  SetFieldText(chunk.Folder, folder, sizeof chunk.Folder - 1);
  chunk.Data = reinterpret_cast<const uint8_t*>(data.data());
  // The count as given, even beyond the data field: the clients must refuse such a chunk.
  chunk.DataLength = static_cast<int32_t>(data.size());
  chunk.Last = last;
  std::string record(std::max(record_size, kFileChunkRecordSize), '\0');
  EncodeFileChunkRecord(chunk, Bytes(&record));
  record.resize(record_size);
  return record;
}

std::string BaseChunkBytes(const std::string& file, const std::string& data, bool last,
                           size_t record_size) {
  BaseChunkRecord chunk;
  SetFieldText(chunk.FileName, file, sizeof chunk.FileName - 1);
  chunk.Data = reinterpret_cast<const uint8_t*>(data.data());
  chunk.DataLength = static_cast<int32_t>(data.size());
  chunk.Last = last;
  std::string record(std::max(record_size, kBaseChunkRecordSize), '\0');
  EncodeBaseChunkRecord(chunk, Bytes(&record));
  record.resize(record_size);
  return record;
}

std::string Reply(uint16_t code, const std::vector<std::string>& records, uint8_t chain,
                  int32_t error_code) {
  std::string body;
  for (const std::string& r : records) body += r;
  const uint32_t size = records.empty() ? 0 : static_cast<uint32_t>(records[0].size());
  return MakeMessage(code, error_code, body, static_cast<uint16_t>(records.size()), size, chain);
}

uint16_t MessageCode(const std::string& message) {
  if (message.size() < kMessageHeaderSize) return 0;
  return DecodeFixed16(reinterpret_cast<const uint8_t*>(message.data()) + kMessageCodeOffset);
}

std::string StoredZip(const std::vector<std::pair<std::string, std::string>>& entries) {
  const uint32_t kDosTime = (41u << 25 | 1u << 21 | 1u << 16) | (12u << 11);  // 2021-01-01 12:00
  std::string local;
  std::string central;
  for (const auto& [name, data] : entries) {
    const uint32_t crc = static_cast<uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
    const uint32_t offset = static_cast<uint32_t>(local.size());
    const std::string common = Le16(10) + Le16(0) + Le16(0) + Le32(kDosTime) + Le32(crc) +
                               Le32(static_cast<uint32_t>(data.size())) +
                               Le32(static_cast<uint32_t>(data.size())) +
                               Le16(static_cast<uint32_t>(name.size())) + Le16(0);
    local += Le32(0x04034b50) + common + name + data;
    central += Le32(0x02014b50) + Le16(20) + common + Le16(0) + Le16(0) + Le16(0) + Le32(0) +
               Le32(offset) + name;
  }
  const uint32_t count = static_cast<uint32_t>(entries.size());
  return local + central + Le32(0x06054b50) + Le16(0) + Le16(0) + Le16(count) + Le16(count) +
         Le32(static_cast<uint32_t>(central.size())) + Le32(static_cast<uint32_t>(local.size())) +
         Le16(0);
}

ClientTest::ClientTest() { OpenInstallLog(staging_); }

ClientTest::~ClientTest() { CloseInstallLog(); }

std::string ClientTest::LogText() const { return ReadFileBytes(Staging("log\\install.log")); }

bool ClientTest::LogHas(const std::string& text, int timeout_ms) const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (LogText().find(text) != std::string::npos) return true;
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

std::vector<std::string> ClientTest::TopLevelNames() const {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(NativePath(dir_.path()))) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}
