// Start-up server selection: probe the package-query servers, keep a connection to the quickest
// and ask it for the package's display name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "core/deployment.h"
#include "net/message.h"
#include "net/socket_ops.h"

constexpr uint32_t kPackageReplyRecordSize = 563;
// Frame header, message header and one record: 115 bytes.
constexpr size_t kPackageQueryFrameSize = 6 + 74 + kPackageQueryRecordSize;

// The connect-and-wait step of one probe: whether the connection came up within the time-out,
// and how long it took (1000 when the server stayed silent).
struct ProbeResult {
  bool Connected;
  int LatencyMs;
};
using ConnectProbe = std::function<ProbeResult(SocketHandle socket, const char* address,
                                               uint16_t port, int timeout_ms)>;

// The real step: starts the connect on the non-blocking `socket` and waits for it.
ProbeResult ConnectAndWait(SocketHandle socket, const char* address, uint16_t port,
                           int timeout_ms);

// Replaces the connect-and-wait step (an empty function restores the real one). On loopback every
// handshake is instant, so tests decide the connect times this way.
void SetConnectProbeForTest(ConnectProbe probe);

// Probes the four servers from a random start; returns a connected, non-blocking socket to the
// chosen one, or kInvalidSocket.
SocketHandle SelectValidSock(const QueryServers& servers);

// The 115-byte package query frame (plain type "1").
void EncodePackageQuery(int32_t language_id, const char* package_number, uint8_t* frame);

// Sends the package query and fills the 563-byte reply record. False on any failure.
bool AcquirePackage(SocketHandle socket, int32_t language_id, const char* package_number,
                    uint8_t* reply_record);

// The whole step: select, query, store the name (UTF-8 -> GBK, at most 50 bytes) as ProductName.
// Returns 1 on success, 0 otherwise.
int FetchPackageInfo(const QueryServers& servers);

