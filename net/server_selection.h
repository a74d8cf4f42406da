// Start-up server selection: probe the package-query servers, keep a connection to the quickest
// and ask it for the package's display name.
#pragma once

#include <cstdint>

#include "net/socket_ops.h"

// The package-query servers of a deployment. The installer uses the compiled-in deployment
// values; tests use their own loopback addresses and ports.
struct QueryServers {
  struct Entry {
    char Address[52];
    uint16_t Port;
  };
  Entry Servers[4];
};

// The deployment's four servers (deployment_values.h).
QueryServers DeploymentQueryServers();

constexpr uint32_t kPackageReplyRecordSize = 563;

// Probes the four servers from a random start; returns a connected, non-blocking socket to the
// chosen one, or kInvalidSocket.
SocketHandle SelectValidSock(const QueryServers& servers);

// Sends the package query and fills the 563-byte reply record. False on any failure.
bool AcquirePackage(SocketHandle socket, int32_t language_id, const char* package_number,
                    uint8_t* reply_record);

// The whole step: select, query, store the name (UTF-8 -> GBK, at most 50 bytes) as ProductName.
// Returns 1 on success, 0 otherwise.
int FetchPackageInfo(const QueryServers& servers);

// The update servers the install controller tries: the host pattern (one "%d", filled with 1..3)
// and the port.
struct UpdateServers {
  char HostPattern[64];
  uint16_t Port;
};
UpdateServers DeploymentUpdateServers();
