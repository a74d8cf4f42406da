// Wire records of the update check and the download: the requests the clients send, and the
// fields they read from the service's reply records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/module_record.h"
#include "net/message.h"

// Update check (0x3051) and module check (0x3061) requests, header included.
constexpr size_t kUpdateCheckRequestSize = 74 + kUpdateCheckRecordSize;  // 93
constexpr size_t kModuleCheckRequestSize = 74 + kModuleCheckRecordSize;  // 134
// The package number field: at most 9 characters of string 102 and a NUL, within 11 bytes.
constexpr size_t kPackageNumberMaxLength = 9;

// Base archive request (0x3091).
constexpr size_t kBaseZipRequestSize = 74 + kBaseZipRecordSize;  // 95
constexpr char kBaseZipName[] = "SystemDepend.zip";

// The bytes the clients read from one reply record; a smaller record size is refused.
constexpr size_t kUpdateCheckReplyReadSize = 75;
constexpr size_t kModuleCheckReplyReadSize = kModuleRecordSize;  // 79
constexpr size_t kFileChunkReadSize = 1229;
constexpr size_t kBaseChunkReadSize = 1082;
// Data bytes one chunk can carry.
constexpr int32_t kMaxChunkData = 1001;

// The 93-byte update-check request for `package_number` (at most 9 characters used).
void EncodeUpdateCheckRequest(const char* package_number, VersionPair installed,
                              uint8_t* message);
// The 134-byte module-check request.
void EncodeModuleCheckRequest(const char* package_number, VersionPair latest, uint8_t* message);
// The 95-byte base archive request.
void EncodeBaseZipRequest(uint8_t* message);
// One 74-byte module download record: PackageKey (at most 10 characters), Name (at most 50),
// Num1, Num2.
void EncodeModuleDownloadRecord(const ModuleRecord& module, uint8_t* dst);

// A text field of a packed record: up to its NUL, at most `max_length` characters.
std::string FieldText(const char* field, size_t max_length);

// What the update-check client reads from one update-check reply record (75 bytes readable).
struct UpdateCheckReply {
  VersionPair Latest;
  char Host[51];  // at most 50 characters
  int32_t Port;
  bool Proceed;
};
UpdateCheckReply DecodeUpdateCheckReply(const uint8_t* record);

// What the download client reads from one module file chunk (1229 bytes readable).
struct FileChunk {
  char ModuleName[52];
  char FileName[60];
  char Folder[102];
  const uint8_t* Data;
  int32_t DataLength;  // as sent: not yet checked against 0..1001
  bool Last;
};
FileChunk DecodeFileChunk(const uint8_t* record);

// What the download client reads from one base archive chunk (1082 bytes readable).
struct BaseChunk {
  char FileName[60];
  const uint8_t* Data;
  int32_t DataLength;  // as sent: not yet checked against 0..1001
  bool Last;
};
BaseChunk DecodeBaseChunk(const uint8_t* record);
