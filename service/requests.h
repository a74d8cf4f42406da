// The requests installers send, decoded and checked on the service side: every size, count and
// text field is checked before use, and anything that does not match exactly is refused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "wire/message.h"

struct LoginRequest {
  std::string user;
  std::string password;
};

struct UpdateCheckRequest {
  std::string package_number;
  int32_t part3 = 0;
  int32_t part4 = 0;
};

struct ModuleCheckRequest {
  std::string package_number;
  int32_t part3 = 0;
  int32_t part4 = 0;
};

struct ModuleRequest {
  std::string package_key;
  std::string name;
  int32_t num1 = 0;
  int32_t num2 = 0;
};

struct PackageQueryRequest {
  uint16_t language_id = 0;
  std::string package_number;
  std::string client_version;
};

// Checks the envelope common to every request: header present, chain flag "0", the expected
// record size (when `record_size` is not 0), a record count within `max_count`, and a message
// length of exactly header + count x size. False with a reason.
bool CheckRequestEnvelope(const uint8_t* message, size_t length, size_t record_size,
                          size_t min_count, size_t max_count, MessageHeader* header,
                          std::string* reason);

// Each parser checks the whole message (envelope included) and returns false with a reason.
bool ParseAuthentLinkRequest(const uint8_t* message, size_t length, std::string* reason);
bool ParseHeartbeat(const uint8_t* message, size_t length, std::string* reason);
bool ParseLoginRequest(const uint8_t* message, size_t length, LoginRequest* out,
                       std::string* reason);
bool ParseUpdateCheckRequest(const uint8_t* message, size_t length, UpdateCheckRequest* out,
                             std::string* reason);
bool ParseModuleCheckRequest(const uint8_t* message, size_t length, ModuleCheckRequest* out,
                             std::string* reason);
bool ParseModuleDownloadRequest(const uint8_t* message, size_t length, size_t max_count,
                                std::vector<ModuleRequest>* out, std::string* reason);
// A request for parts of module files: every range's module, offset and length, in order.
// Refused (false with a reason) when a record is not 82 bytes, there are none or more than
// kMaxRangesPerRequest, a range is empty or longer than kMaxRangeLength, or they ask for more
// than kMaxRangeRequestBytes together.
struct RangeRequest {
  ModuleRequest module;
  uint32_t offset = 0;
  uint32_t length = 0;
};
bool ParseModuleRangeRequest(const uint8_t* message, size_t length,
                             std::vector<RangeRequest>* out, std::string* reason);
bool ParseBaseZipRequest(const uint8_t* message, size_t length, std::string* name,
                         std::string* reason);
bool ParsePackageQuery(const uint8_t* message, size_t length, PackageQueryRequest* out,
                       std::string* reason);
