// The messages the service sends: the authentication link and login responses, the update- and
// module-check replies and the package-query reply. Chunk messages are built by Transfer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "service/package.h"

// Error codes the service puts in reply headers.
constexpr int32_t kErrorRefused = 1;          // authentication link or login refused
constexpr int32_t kErrorUnknownPackage = 2;   // update check or package query
constexpr int32_t kErrorUpToDate = 3;         // update check: installed version is the latest

// The session key texts of one connection: 16 printable characters each.
struct SessionKeyTexts {
  char send[17] = {};     // what the client sends with (message offset 82)
  char receive[17] = {};  // what the client receives with (message offset 115)
};

// Fresh random keys from the operating system's generator.
SessionKeyTexts NewSessionKeys();

std::vector<uint8_t> AuthentLinkReply(int32_t error_code, const SessionKeyTexts* keys,
                                      int32_t heartbeat_interval);
std::vector<uint8_t> HeartbeatAnswer();
std::vector<uint8_t> LoginReply(int32_t error_code, const std::string& user);
std::vector<uint8_t> UpdateCheckReply(int32_t error_code, const std::string& package_number,
                                      int32_t part3, int32_t part4,
                                      const std::string& download_host, int32_t download_port,
                                      bool proceed);
// One message of a module-check reply with `count` records from `first`; `last` chooses the
// chain flag ("0" on the last message, "1" before it).
std::vector<uint8_t> ModuleCheckReply(const std::vector<PackageModule>& modules, size_t first,
                                      size_t count, bool last);
// A module download reply with no chunks and `error_code` in its header: the download is
// refused (kErrorModuleNotServed).
std::vector<uint8_t> DownloadRefusal(int32_t error_code);
std::vector<uint8_t> PackageQueryReply(uint16_t code, int32_t error_code,
                                       const std::string& package_number,
                                       const std::string& product_name);

// Writes the reply header for `count` records of `record_size` bytes.
void EncodeReplyHeader(uint16_t code, bool last, size_t count, size_t record_size,
                       int32_t error_code, uint8_t* dst);
