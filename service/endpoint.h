// Listen addresses of the service and the kind of endpoint each one is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

enum class EndpointKind { kQuery, kUpdate, kDownload, kMetrics };
constexpr size_t kEndpointKinds = 4;

const char* EndpointName(EndpointKind kind);

struct ListenAddress {
  std::string host;  // dotted-quad IPv4
  uint16_t port = 0;  // 0: any free port (tests)

  std::string ToString() const { return host + ":" + std::to_string(port); }
};

// Parses "A.B.C.D:PORT" (or "A.B.C.D" with `default_port`). False on anything else.
bool ParseListenAddress(const std::string& text, uint16_t default_port, ListenAddress* out);
