// Feeds one decoded request message to the service's request parsing. The first input byte picks
// the parser, the rest is the message. A parser that accepts must hand back only what the field
// widths allow, texts without control characters, and no more module records than it was told.
// With QB_FUZZ_WRITE_SEEDS=<folder> the program writes one valid request of each kind there and
// ends.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz/seeds.h"
#include "wire/message.h"
#include "wire/records.h"
#include "service/requests.h"

namespace {

constexpr size_t kFuzzMaxModules = 40;

void CheckText(const std::string& text, size_t max_length) {
  if (text.size() > max_length) std::abort();
  for (char c : text) {
    const uint8_t byte = static_cast<uint8_t>(c);
    if (byte < 0x20 || byte == 0x7F) std::abort();
  }
}

template <typename Record>
std::string Request(uint16_t code, uint16_t count, size_t record_size, const Record& record,
                    void (*encode)(const Record&, uint8_t*)) {
  std::string message(kMessageHeaderSize + count * record_size, '\0');
  uint8_t* bytes = reinterpret_cast<uint8_t*>(&message[0]);
  EncodeRequestHeader(code, count, static_cast<uint32_t>(record_size), bytes);
  for (uint16_t i = 0; i < count; ++i) {
    encode(record, bytes + kMessageHeaderSize + i * record_size);
  }
  return message;
}

std::vector<std::string> Seeds() {
  std::vector<std::string> seeds;
  std::string link(kAuthentLinkRequestSize, '\0');
  EncodeRequestHeader(kMsgAuthentLinkRequest, 1, kAuthentLinkRecordSize,
                      reinterpret_cast<uint8_t*>(&link[0]));
  EncodeAuthentLinkRecord(reinterpret_cast<uint8_t*>(&link[kMessageHeaderSize]));
  seeds.push_back('\0' + link);
  std::string heartbeat(kHeartbeatRequestSize, '\0');
  EncodeRequestHeader(kMsgHeartbeat, 1, kHeartbeatRecordSize,
                      reinterpret_cast<uint8_t*>(&heartbeat[0]));
  seeds.push_back('\1' + heartbeat);
  seeds.push_back('\2' + Request(kMsgLoginRequest, 1, kAccountRecordSize,
                                 InstallerAccountRecord(), EncodeAccountRecord));
  UpdateCheckRecord update;
  SetFieldText(update.PackageNumber, "100201");
  seeds.push_back('\3' + Request(kMsgQryCheckUpdate, 1, kUpdateCheckRecordSize, update,
                                 EncodeUpdateCheckRecord));
  ModuleCheckRecord check;
  SetFieldText(check.PackageNumber, "100201");
  seeds.push_back('\4' + Request(kMsgQryCheckModule, 1, kModuleCheckRecordSize, check,
                                 EncodeModuleCheckRecord));
  ModuleDownloadRecord module;
  SetFieldText(module.PackageKey, "K");
  SetFieldText(module.Name, "core");
  seeds.push_back('\5' + Request(kMsgDownloadModule, 3, kModuleDownloadRecordSize, module,
                                 EncodeModuleDownloadRecord));
  BaseZipRecord base;
  SetFieldText(base.Name, kBaseZipName);
  seeds.push_back('\6' + Request(kMsgDownloadBaseZip, 1, kBaseZipRecordSize, base,
                                 EncodeBaseZipRecord));
  PackageQueryRecord query;
  SetFieldText(query.PackageNumber, "100201");
  SetFieldText(query.ClientVersion, "quillbank v9.3");
  std::string query_message(kPackageQueryRequestSize, '\0');
  EncodePackageQueryRequest(query, reinterpret_cast<uint8_t*>(&query_message[0]));
  seeds.push_back('\7' + query_message);
  ModuleRangeRecord range;
  range.Module = module;
  range.Offset = 1000;
  range.Length = 64;
  seeds.push_back('\x08' + Request(kMsgDownloadRanges, 2, kModuleRangeRecordSize, range,
                                    EncodeModuleRangeRecord));
  return seeds;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  WriteSeedsIfAsked(Seeds);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // Exactly the message on the heap, so that a read past it shows.
  const std::vector<uint8_t> bytes(data + 1, data + size);
  const uint8_t* message = bytes.empty() ? nullptr : bytes.data();
  const size_t length = bytes.size();
  std::string reason;
  switch (data[0] & 15) {
    case 0:
      ParseAuthentLinkRequest(message, length, &reason);
      break;
    case 1:
      ParseHeartbeat(message, length, &reason);
      break;
    case 2: {
      LoginRequest login;
      if (ParseLoginRequest(message, length, &login, &reason)) {
        CheckText(login.user, 50);
        CheckText(login.password, 20);
      }
      break;
    }
    case 3: {
      UpdateCheckRequest update;
      if (ParseUpdateCheckRequest(message, length, &update, &reason)) {
        CheckText(update.package_number, 10);
      }
      break;
    }
    case 4: {
      ModuleCheckRequest check;
      if (ParseModuleCheckRequest(message, length, &check, &reason)) {
        CheckText(check.package_number, 10);
      }
      break;
    }
    case 5: {
      std::vector<ModuleRequest> modules;
      if (ParseModuleDownloadRequest(message, length, kFuzzMaxModules, &modules, &reason)) {
        if (modules.size() > kFuzzMaxModules) std::abort();
        for (const ModuleRequest& m : modules) {
          CheckText(m.package_key, 10);
          CheckText(m.name, 50);
        }
      }
      break;
    }
    case 6: {
      std::string name;
      if (ParseBaseZipRequest(message, length, &name, &reason)) CheckText(name, 20);
      break;
    }
    case 8: {
      // Ranges within their bounds, whatever the bytes.
      std::vector<RangeRequest> ranges;
      if (ParseModuleRangeRequest(message, length, &ranges, &reason)) {
        if (ranges.empty() || ranges.size() > kMaxRangesPerRequest) std::abort();
        uint64_t total = 0;
        for (const RangeRequest& r : ranges) {
          CheckText(r.module.package_key, 10);
          CheckText(r.module.name, 50);
          if (r.length == 0 || r.length > kMaxRangeLength) std::abort();
          total += r.length;
        }
        if (total > kMaxRangeRequestBytes) std::abort();
      }
      break;
    }
    default: {
      PackageQueryRequest query;
      if (ParsePackageQuery(message, length, &query, &reason)) {
        CheckText(query.package_number, 10);
        CheckText(query.client_version, 20);
      }
      break;
    }
  }
  return 0;
}
