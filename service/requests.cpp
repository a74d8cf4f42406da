// Decoding of installer requests with bounds and content checks.
#include "service/requests.h"

#include <cstring>

#include "wire/records.h"

namespace {

// A decoded text field must have ended within its width (a NUL at or before its last byte) and
// hold only printable characters or bytes above 0x7F.
template <size_t N>
bool ReadText(const char (&field)[N], const char* what, std::string* out, std::string* reason) {
  if (!FieldTerminated(field)) {
    *reason = std::string(what) + " is not terminated within its field";
    return false;
  }
  const std::string text = FieldText(field);
  for (char c : text) {
    const uint8_t byte = static_cast<uint8_t>(c);
    if (byte < 0x20 || byte == 0x7F) {
      *reason = std::string(what) + " holds a control character";
      return false;
    }
  }
  *out = text;
  return true;
}

// The raw account fields keep no NUL of their own: read through a field one byte wider.
template <size_t W>
bool ReadRawText(const char (&raw)[W], const char* what, std::string* out, std::string* reason) {
  char field[W + 1];
  std::memcpy(field, raw, W);
  field[W] = '\0';
  return ReadText(field, what, out, reason);
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
  if (!DecodeAuthentLinkRecord(message + kMessageHeaderSize)) {
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
  const AccountRecord record = DecodeAccountRecord(message + kMessageHeaderSize);
  return ReadRawText(record.UserName, "user name", &out->user, reason) &&
         ReadRawText(record.Password, "password", &out->password, reason);
}

bool ParseUpdateCheckRequest(const uint8_t* message, size_t length, UpdateCheckRequest* out,
                             std::string* reason) {
  MessageHeader header;
  if (!CheckRequestEnvelope(message, length, kUpdateCheckRecordSize, 1, 1, &header, reason)) {
    return false;
  }
  const UpdateCheckRecord record = DecodeUpdateCheckRecord(message + kMessageHeaderSize);
  if (!ReadText(record.PackageNumber, "package number", &out->package_number, reason)) {
    return false;
  }
  out->part3 = record.Installed.Part3;
  out->part4 = record.Installed.Part4;
  return true;
}

bool ParseModuleCheckRequest(const uint8_t* message, size_t length, ModuleCheckRequest* out,
                             std::string* reason) {
  MessageHeader header;
  if (!CheckRequestEnvelope(message, length, kModuleCheckRecordSize, 1, 1, &header, reason)) {
    return false;
  }
  const ModuleCheckRecord record = DecodeModuleCheckRecord(message + kMessageHeaderSize);
  if (record.Mark != 'P') {
    *reason = "module check without its \"P\" mark";
    return false;
  }
  if (!ReadText(record.PackageNumber, "package number", &out->package_number, reason)) {
    return false;
  }
  out->part3 = record.Latest.Part3;
  out->part4 = record.Latest.Part4;
  if (!AllZero(record.Reserved, sizeof record.Reserved)) {
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
    const ModuleDownloadRecord record = DecodeModuleDownloadRecord(
        message + kMessageHeaderSize + i * kModuleDownloadRecordSize);
    ModuleRequest m;
    if (!ReadText(record.PackageKey, "package key", &m.package_key, reason) ||
        !ReadText(record.Name, "module name", &m.name, reason)) {
      return false;
    }
    m.num1 = record.Num1;
    m.num2 = record.Num2;
    out->push_back(std::move(m));
  }
  return true;
}

bool ParseModuleRangeRequest(const uint8_t* message, size_t length,
                             std::vector<RangeRequest>* out, std::string* reason) {
  MessageHeader header;
  if (!CheckRequestEnvelope(message, length, kModuleRangeRecordSize, 1, kMaxRangesPerRequest,
                            &header, reason)) {
    return false;
  }
  out->clear();
  uint64_t total = 0;
  for (size_t i = 0; i < header.RecordCount; ++i) {
    const ModuleRangeRecord record =
        DecodeModuleRangeRecord(message + kMessageHeaderSize + i * kModuleRangeRecordSize);
    RangeRequest r;
    if (!ReadText(record.Module.PackageKey, "package key", &r.module.package_key, reason) ||
        !ReadText(record.Module.Name, "module name", &r.module.name, reason)) {
      return false;
    }
    if (record.Length == 0 || record.Length > kMaxRangeLength) {
      *reason = "a range of " + std::to_string(record.Length) + " bytes (1 to " +
                std::to_string(kMaxRangeLength) + " are served)";
      return false;
    }
    total += record.Length;
    if (total > kMaxRangeRequestBytes) {
      *reason = "ranges of more than " + std::to_string(kMaxRangeRequestBytes) +
                " bytes in one request";
      return false;
    }
    r.module.num1 = record.Module.Num1;
    r.module.num2 = record.Module.Num2;
    r.offset = record.Offset;
    r.length = record.Length;
    out->push_back(std::move(r));
  }
  return true;
}

bool ParseBaseZipRequest(const uint8_t* message, size_t length, std::string* name,
                         std::string* reason) {
  MessageHeader header;
  if (!CheckRequestEnvelope(message, length, kBaseZipRecordSize, 1, 1, &header, reason)) {
    return false;
  }
  const BaseZipRecord record = DecodeBaseZipRecord(message + kMessageHeaderSize);
  return ReadText(record.Name, "archive name", name, reason);
}

bool ParsePackageQuery(const uint8_t* message, size_t length, PackageQueryRequest* out,
                       std::string* reason) {
  MessageHeader header;
  if (!CheckRequestEnvelope(message, length, kPackageQueryRecordSize, 1, 1, &header, reason)) {
    return false;
  }
  const PackageQueryRecord record = DecodePackageQueryRecord(message + kMessageHeaderSize);
  if (record.Mark != 'W') {
    *reason = "package query without its \"W\" mark";
    return false;
  }
  out->language_id = record.LanguageId;
  return ReadText(record.PackageNumber, "package number", &out->package_number, reason) &&
         ReadText(record.ClientVersion, "client version", &out->client_version, reason);
}
