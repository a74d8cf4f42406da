// Decoding of installer requests with bounds and content checks.
#include "service/requests.h"

#include <cstring>

#include "base/coding.h"
#include "net/protocol.h"

namespace {

// A text field must end within its width (a NUL at or before its last byte) and hold only
// printable characters or bytes above 0x7F.
bool ReadText(const uint8_t* field, size_t width, const char* what, std::string* out,
              std::string* reason) {
  const void* nul = std::memchr(field, 0, width);
  if (!nul) {
    *reason = std::string(what) + " is not terminated within its field";
    return false;
  }
  size_t n = static_cast<size_t>(static_cast<const uint8_t*>(nul) - field);
  for (size_t i = 0; i < n; ++i) {
    if (field[i] < 0x20 || field[i] == 0x7F) {
      *reason = std::string(what) + " holds a control character";
      return false;
    }
  }
  out->assign(reinterpret_cast<const char*>(field), n);
  return true;
}

bool AllZero(const uint8_t* bytes, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (bytes[i] != 0) return false;
  }
  return true;
}

std::string Hex16(uint16_t code) {
  char text[8];
  snprintf(text, sizeof(text), "0x%04X", code);
  return text;
}

}  // namespace

bool CheckRequestEnvelope(const uint8_t* message, size_t length, size_t record_size,
                          size_t min_count, size_t max_count, MessageHeader* header,
                          std::string* reason) {
  if (!DecodeMessageHeader(message, length, header)) {
    *reason = "message of " + std::to_string(length) + " bytes is shorter than its header";
    return false;
  }
  std::string code = Hex16(header->Code);
  if (header->Chain != kChainLast) {
    *reason = code + " with chain flag " + std::to_string(header->Chain);
    return false;
  }
  if (header->RecordCount < min_count || header->RecordCount > max_count) {
    *reason = code + " with " + std::to_string(header->RecordCount) + " records";
    return false;
  }
  if (header->RecordCount > 0 && header->RecordSize != record_size) {
    *reason = code + " with records of " + std::to_string(header->RecordSize) + " bytes";
    return false;
  }
  size_t expected = kMessageHeaderSize + static_cast<size_t>(header->RecordCount) * record_size;
  if (length != expected) {
    *reason = code + " of " + std::to_string(length) + " bytes where " +
              std::to_string(expected) + " were due";
    return false;
  }
  return true;
}

bool ParseAuthentLinkRequest(const uint8_t* message, size_t length, std::string* reason) {
  MessageHeader header;
  if (!CheckRequestEnvelope(message, length, kAuthentLinkRecordSize, 1, 1, &header, reason)) {
    return false;
  }
  const uint8_t* record = message + kMessageHeaderSize;
  const size_t text_size = sizeof(kAuthentLinkText);  // 19 characters and NUL
  if (std::memcmp(record + kAuthentLinkTextOffset, kAuthentLinkText, text_size) != 0) {
    *reason = "authentication link request without its fixed text";
    return false;
  }
  return true;
}

bool ParseHeartbeat(const uint8_t* message, size_t length, std::string* reason) {
  MessageHeader header;
  return CheckRequestEnvelope(message, length, kHeartbeatRecordSize, 1, 1, &header, reason);
}

bool ParseLoginRequest(const uint8_t* message, size_t length, LoginRequest* out,
                       std::string* reason) {
  MessageHeader header;
  if (!CheckRequestEnvelope(message, length, kAccountRecordSize, 1, 1, &header, reason)) {
    return false;
  }
  const uint8_t* record = message + kMessageHeaderSize;
  return ReadText(record, 51, "user name", &out->user, reason) &&
         ReadText(record + 52, 21, "password", &out->password, reason);
}

bool ParseUpdateCheckRequest(const uint8_t* message, size_t length, UpdateCheckRequest* out,
                             std::string* reason) {
  MessageHeader header;
  if (!CheckRequestEnvelope(message, length, kUpdateCheckRecordSize, 1, 1, &header, reason)) {
    return false;
  }
  const uint8_t* record = message + kMessageHeaderSize;
  if (!ReadText(record, 11, "package number", &out->package_number, reason)) return false;
  out->part3 = DecodeSigned32(record + 11);
  out->part4 = DecodeSigned32(record + 15);
  return true;
}

bool ParseModuleCheckRequest(const uint8_t* message, size_t length, ModuleCheckRequest* out,
                             std::string* reason) {
  MessageHeader header;
  if (!CheckRequestEnvelope(message, length, kModuleCheckRecordSize, 1, 1, &header, reason)) {
    return false;
  }
  const uint8_t* record = message + kMessageHeaderSize;
  if (record[0] != 'P') {
    *reason = "module check without its \"P\" mark";
    return false;
  }
  if (!ReadText(record + 1, 11, "package number", &out->package_number, reason)) return false;
  out->part3 = DecodeSigned32(record + 12);
  out->part4 = DecodeSigned32(record + 16);
  if (!AllZero(record + 20, 40)) {
    *reason = "module check with bytes in its reserved tail";
    return false;
  }
  return true;
}

bool ParseModuleDownloadRequest(const uint8_t* message, size_t length, size_t max_count,
                                std::vector<ModuleRequest>* out, std::string* reason) {
  MessageHeader header;
  if (!CheckRequestEnvelope(message, length, kModuleDownloadRecordSize, 0, max_count, &header,
                            reason)) {
    return false;
  }
  out->clear();
  for (size_t i = 0; i < header.RecordCount; ++i) {
    const uint8_t* record = message + kMessageHeaderSize + i * kModuleDownloadRecordSize;
    ModuleRequest m;
    if (!ReadText(record + 4, 11, "package key", &m.package_key, reason) ||
        !ReadText(record + 15, 51, "module name", &m.name, reason)) {
      return false;
    }
    m.num1 = DecodeSigned32(record + 66);
    m.num2 = DecodeSigned32(record + 70);
    out->push_back(std::move(m));
  }
  return true;
}

bool ParseBaseZipRequest(const uint8_t* message, size_t length, std::string* name,
                         std::string* reason) {
  MessageHeader header;
  if (!CheckRequestEnvelope(message, length, kBaseZipRecordSize, 1, 1, &header, reason)) {
    return false;
  }
  return ReadText(message + kMessageHeaderSize, kBaseZipRecordSize, "archive name", name, reason);
}

bool ParsePackageQuery(const uint8_t* message, size_t length, PackageQueryRequest* out,
                       std::string* reason) {
  MessageHeader header;
  if (!CheckRequestEnvelope(message, length, kPackageQueryRecordSize, 1, 1, &header, reason)) {
    return false;
  }
  const uint8_t* record = message + kMessageHeaderSize;
  if (record[0] != 'W') {
    *reason = "package query without its \"W\" mark";
    return false;
  }
  out->language_id = DecodeFixed16(record + 1);
  return ReadText(record + 3, 11, "package number", &out->package_number, reason) &&
         ReadText(record + 14, 21, "client version", &out->client_version, reason);
}
