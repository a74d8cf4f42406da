// A small installer-side client for the service's tests, built from net/'s frame format,
// cipher and message envelope: it speaks the protocol as an installer does, and can also send
// bytes no installer would.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "base/module_record.h"
#include "wire/cipher_context.h"
#include "wire/message.h"
#include "service/endpoint.h"
#include "service/testing/test_socket.h"

struct UpdateReply {
  int32_t error_code = 0;
  int32_t part3 = 0;
  int32_t part4 = 0;
  std::string download_host;
  int32_t download_port = 0;
  bool proceed = false;
};

class TestClient {
 public:
  TestClient();

  bool Connect(const ListenAddress& address, int timeout_ms = 10000);
  TestSocket& socket() { return socket_; }

  // Builds a request message: header with `code`, chain "0", and the records.
  static std::vector<uint8_t> Request(uint16_t code, uint16_t count, uint32_t record_size,
                                      const std::vector<uint8_t>& records);
  // One frame: type "4" under the built-in key, "1" plain, else under the send key.
  std::string Frame(const std::vector<uint8_t>& message, char type);
  // Sends one such frame.
  bool SendMessage(const std::vector<uint8_t>& message, char type);
  bool SendRaw(const std::string& bytes) { return socket_.Send(bytes); }
  // The next decoded message. Undecodable bytes are dropped as an installer drops them.
  bool Receive(std::vector<uint8_t>* message, MessageHeader* header);
  // Frames received that could not be decoded (and were dropped).
  int dropped_frames() const { return dropped_frames_; }
  // Bytes read from the socket so far, frames whole as the service sent them.
  uint64_t received_bytes() const { return received_bytes_; }

  // Connects and completes the authentication link: false when a step fails or is refused.
  bool Link(const ListenAddress& address, int timeout_ms = 10000);
  // Link, then the login with the installer's account: false unless it is accepted.
  bool LogIn(const ListenAddress& address, int timeout_ms = 10000);

  // The exchanges. Each returns false when the reply does not come or does not fit.
  bool AuthentLink(int32_t* error_code);
  bool Login(const std::string& user, const std::string& password, int32_t* error_code);
  bool UpdateCheck(const std::string& number, int32_t part3, int32_t part4, UpdateReply* reply);
  bool ModuleCheck(const std::string& number, int32_t part3, int32_t part4,
                   std::vector<ModuleRecord>* records, int* messages);
  static std::vector<uint8_t> ModuleCheckRequest(const std::string& number, int32_t part3,
                                                 int32_t part4);
  // The receiving half of ModuleCheck: the messages of one module list, up to its last.
  bool ReceiveModuleList(std::vector<ModuleRecord>* records, int* messages);
  // Sends the module download requests (of at most kMaxModulesPerRequest records each) for
  // every record not of kind "D", and reads nothing.
  bool RequestModules(const std::vector<ModuleRecord>& records);
  // Requests every record not of kind "D" and collects the files by install path (folder part
  // + file name part) until each is complete. `chunks` counts the chunk records received.
  bool DownloadModules(const std::vector<ModuleRecord>& records,
                       std::map<std::string, std::string>* files, uint64_t* chunks = nullptr);
  // The receiving half of DownloadModules, for modules requested earlier with RequestModules.
  bool ReceiveModules(const std::vector<ModuleRecord>& records,
                      std::map<std::string, std::string>* files, uint64_t* chunks = nullptr);
  // One request for parts of module files: `ranges` of (record, offset, length).
  struct Range {
    ModuleRecord module;
    uint32_t offset = 0;
    uint32_t length = 0;
  };
  bool RequestRanges(const std::vector<Range>& ranges);
  // The chunk records of replies until `ranges` ranges have ended (Last), as they came.
  struct RangeChunk {
    std::string module, path, data;
    uint32_t offset = 0, total = 0;
    bool last = false;
  };
  bool ReceiveRanges(size_t ranges, std::vector<RangeChunk>* chunks);
  bool DownloadBase(std::string* bytes);
  // The package query on a query endpoint: the reply's code and product name.
  bool PackageQuery(const std::string& number, uint16_t* code, std::string* product_name);

  const char* send_key() const { return send_key_; }

 private:
  TestSocket socket_;
  CipherContext fixed_;
  CipherContext send_;
  CipherContext receive_;
  char send_key_[17] = {};
  std::string buffer_;
  int dropped_frames_ = 0;
  uint64_t received_bytes_ = 0;
};

// Everything the update endpoint says to a standard installer of `number`: link, login, update
// check and module check. False when any step fails.
bool CheckExchange(const ListenAddress& update, const std::string& number, UpdateReply* reply,
                   std::vector<ModuleRecord>* records);
