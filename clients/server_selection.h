// Start-up server selection: probe the package-query servers, keep a connection to the quickest
// and ask it for the package's display name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/deployment.h"
#include "wire/frame_format.h"
#include "wire/message.h"
#include "wire/records.h"
#include "net/socket_ops.h"

// The package query as sent: a plain frame (type "1") holding the request, 115 bytes.
constexpr size_t kPackageQueryFrameSize = kFrameHeaderSize + kPackageQueryRequestSize;
// The largest reply frame taken.
constexpr size_t kPackageReplyFrameMax = 131072;

// The connect-and-wait step of one probe: whether the connection came up within the time-out,
// and how long it took (1000 when the server stayed silent).
struct ProbeResult {
  bool Connected;
  int LatencyMs;
};

// The real step: starts the connect on the non-blocking `socket` and waits for it.
ProbeResult ConnectAndWait(SocketHandle socket, const char* address, uint16_t port,
                           int timeout_ms);

// A connect-and-wait step in place of the real one. On loopback every handshake is instant, so
// tests decide the connect times through one of their own.
class ConnectProbe {
 public:
  virtual ProbeResult Connect(SocketHandle socket, const char* address, uint16_t port,
                              int timeout_ms) = 0;

 protected:
  ~ConnectProbe() = default;
};

// Probes the four servers from a random start, each through `connect_step` (null:
// ConnectAndWait); returns a connected, non-blocking socket to the chosen one, or kInvalidSocket.
SocketHandle SelectValidSock(const QueryServers& servers, ConnectProbe* connect_step = nullptr);

// The 115-byte package query frame (plain type "1").
void EncodePackageQuery(int32_t language_id, const char* package_number, uint8_t* frame);

// The reply's frame size from its first 6 bytes: 0 unless they begin a plain frame (type "1")
// that can hold a message header and one reply record, within kPackageReplyFrameMax.
size_t PackageReplyFrameSize(const uint8_t* frame_header);
// The reply record of a whole reply frame of `length` bytes (PackageReplyFrameSize): false when
// its message is not a package query reply. Nothing else of the message is read.
bool DecodePackageReplyFrame(const uint8_t* frame, size_t length, PackageQueryReplyRecord* out);

// The product name of a reply as the install context keeps it: the name field up to its NUL
// (cut at the field's width without one), converted to GBK of at most 50 bytes.
std::string ProductNameOf(const PackageQueryReplyRecord& reply);

// Sends the package query and reads the reply record. False on any failure.
bool AcquirePackage(SocketHandle socket, int32_t language_id, const char* package_number,
                    PackageQueryReplyRecord* reply);

// The whole step for package `package_number` in language `language_id`: select (through
// `connect_step`, as SelectValidSock), query, and give the name (UTF-8 -> GBK, at most 50 bytes)
// in `*product_name` (emptied first). Returns 1 on success, 0 otherwise.
int FetchPackageInfo(const QueryServers& servers, int32_t language_id,
                     const std::string& package_number, std::string* product_name,
                     ConnectProbe* connect_step = nullptr);

