// The deployment the installer talks to: the package-query servers and the update servers. The
// installer uses the compiled-in deployment values; tests use their own loopback addresses and
// ports.
#pragma once

#include <cstdint>

// The four package-query servers.
struct QueryServers {
  struct Entry {
    char Address[52];
    uint16_t Port;
  };
  Entry Servers[4];
};

// The deployment's four servers (base/deployment_values.h).
QueryServers DeploymentQueryServers();

// The update servers the install controller tries: the host pattern (one "%d", filled with 1..3)
// and the port.
struct UpdateServers {
  char HostPattern[64];
  uint16_t Port;
};
UpdateServers DeploymentUpdateServers();
