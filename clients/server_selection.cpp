// Start-up server selection: the latency probe of the four package-query servers, the package
// query on the chosen connection and the product name it brings into the install context.
#include "clients/server_selection.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>
#include <vector>

#include "base/coding.h"
#include "base/debug_output.h"
#include "base/text_convert.h"
#include "wire/frame_format.h"
#include "wire/message.h"

namespace {

constexpr int kProbeTimeoutMs = 1000;
constexpr int kNoAnswerLatencyMs = 1000;
// A server answering this fast ends the probing at once.
constexpr int kGoodEnoughLatencyMs = 50;
constexpr int kReplyWaitMs = 2000;
// The client version text the package query carries.
constexpr char kClientVersionText[] = "quillbank v9.3";

ProbeResult RunProbe(ConnectProbe* connect_step, SocketHandle socket,
                     const QueryServers::Entry& server) {
  if (connect_step != nullptr) {
    return connect_step->Connect(socket, server.Address, server.Port, kProbeTimeoutMs);
  }
  return ConnectAndWait(socket, server.Address, server.Port, kProbeTimeoutMs);
}

// The server's address text, at most its field.
std::string AddressText(const QueryServers::Entry& server) {
  return std::string(server.Address, strnlen(server.Address, sizeof server.Address));
}

}  // namespace

ProbeResult ConnectAndWait(SocketHandle socket, const char* address, uint16_t port,
                           int timeout_ms) {
  const auto start = std::chrono::steady_clock::now();
  if (!StartConnect(socket, address, port)) return {false, kNoAnswerLatencyMs};
  const bool up = WaitConnected(socket, timeout_ms);
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now() - start)
                           .count();
  if (!up) {
    // A refusal comes back early; only a silent server costs the whole wait.
    return {false, elapsed >= timeout_ms ? kNoAnswerLatencyMs : static_cast<int>(elapsed)};
  }
  return {true, static_cast<int>(elapsed)};
}

SocketHandle SelectValidSock(const QueryServers& servers, ConnectProbe* connect_step) {
  int best_latency = kNoAnswerLatencyMs;
  UniqueSocket best;
  std::srand(static_cast<unsigned>(std::time(nullptr)));
  const int start = std::rand() % 4;
  for (int i = 0; i < 4; ++i) {
    const QueryServers::Entry& server = servers.Servers[(start + i) % 4];
    UniqueSocket probe(OpenTcpSocket());
    if (!probe.valid()) continue;
    SetBlocking(probe.get(), false);
    DebugOutput(AddressText(server).c_str());
    const ProbeResult result = RunProbe(connect_step, probe.get(), server);
    char line[64];
    std::snprintf(line, sizeof line, "Socket : %d\r\n", result.LatencyMs);
    DebugOutput(line);
    if (!result.Connected) continue;  // closed with `probe`
    if (result.LatencyMs <= kGoodEnoughLatencyMs) return probe.release();  // `best` closes
    if (result.LatencyMs < best_latency) {
      best = std::move(probe);
      best_latency = result.LatencyMs;
    }
  }
  return best.release();
}

void EncodePackageQuery(int32_t language_id, const char* package_number, uint8_t* frame) {
  PackageQueryRecord record;
  record.LanguageId = static_cast<uint16_t>(language_id);
  if (package_number != nullptr) SetFieldText(record.PackageNumber, package_number);
  SetFieldText(record.ClientVersion, kClientVersionText);
  EncodeFrameHeader('1', static_cast<uint32_t>(kPackageQueryRequestSize), frame);
  EncodePackageQueryRequest(record, frame + kFrameHeaderSize);
}

size_t PackageReplyFrameSize(const uint8_t* frame_header) {
  if (frame_header[0] != kFrameStart || frame_header[1] != '1') return 0;
  const uint32_t payload = DecodeFixed32(frame_header + 2);
  // The record must lie wholly inside the frame, and the frame inside the buffer.
  if (payload < kMessageHeaderSize + kPackageQueryReplyRecordSize ||
      payload > kPackageReplyFrameMax - kFrameHeaderSize) {
    return 0;
  }
  return kFrameHeaderSize + payload;
}

bool DecodePackageReplyFrame(const uint8_t* frame, size_t length, PackageQueryReplyRecord* out) {
  if (length < kFrameHeaderSize || PackageReplyFrameSize(frame) != length) return false;
  const uint8_t* message = frame + kFrameHeaderSize;
  if (DecodeFixed16(message + kMessageCodeOffset) != kMsgPackageQueryReply) return false;
  *out = DecodePackageQueryReplyRecord(message + kMessageHeaderSize);
  return true;
}

std::string ProductNameOf(const PackageQueryReplyRecord& reply) {
  char name[sizeof reply.ProductName];
  std::memcpy(name, reply.ProductName, sizeof name);
  Utf8ToGbk(name);
  return name;
}

bool AcquirePackage(SocketHandle socket, int32_t language_id, const char* package_number,
                    PackageQueryReplyRecord* reply) {
  if (socket == kInvalidSocket || reply == nullptr) return false;
  uint8_t request[kPackageQueryFrameSize];
  EncodePackageQuery(language_id, package_number, request);
  if (SendBytes(socket, request, static_cast<int>(sizeof request)) !=
      static_cast<int>(sizeof request)) {
    return false;
  }

  std::vector<uint8_t> buffer(kPackageReplyFrameMax);
  size_t received = 0;
  size_t needed = kFrameHeaderSize;
  bool header_read = false;
  for (;;) {
    if (received >= needed) {
      if (header_read) break;
      needed = PackageReplyFrameSize(buffer.data());
      if (needed == 0) return false;
      header_read = true;
      continue;
    }
    if (WaitReadable(socket, kReplyWaitMs) != 1) return false;
    const int n = ReceiveBytes(socket, buffer.data() + received,
                               static_cast<int>(buffer.size() - received));
    if (n <= 0) return false;
    received += static_cast<size_t>(n);
  }
  return DecodePackageReplyFrame(buffer.data(), needed, reply);
}

int FetchPackageInfo(const QueryServers& servers, int32_t language_id,
                     const std::string& package_number, std::string* product_name,
                     ConnectProbe* connect_step) {
  product_name->clear();
  UniqueSocket socket(SelectValidSock(servers, connect_step));
  if (!socket.valid()) {
    DebugOutput("SelectValidSock INVALID_SOCKET\r\n");
    return 0;
  }
  PackageQueryReplyRecord reply;
  if (!AcquirePackage(socket.get(), language_id, package_number.c_str(), &reply)) {
    DebugOutput("AcquirePackage Error\r\n");
    return 0;
  }
  *product_name = ProductNameOf(reply);
  return 1;
}
