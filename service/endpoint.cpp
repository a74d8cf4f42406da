// Parsing of listen addresses given on the command line.
#include "service/endpoint.h"

#include <arpa/inet.h>

#include <cstdlib>

const char* EndpointName(EndpointKind kind) {
  switch (kind) {
    case EndpointKind::kQuery:
      return "query";
    case EndpointKind::kUpdate:
      return "update";
    case EndpointKind::kDownload:
      return "download";
    case EndpointKind::kMetrics:
      return "metrics";
  }
  return "?";
}

bool ParseListenAddress(const std::string& text, uint16_t default_port, ListenAddress* out) {
  std::string host = text;
  long port = default_port;
  size_t colon = text.find(':');
  if (colon != std::string::npos) {
    host = text.substr(0, colon);
    std::string digits = text.substr(colon + 1);
    if (digits.empty() || digits.size() > 5 ||
        digits.find_first_not_of("0123456789") != std::string::npos) {
      return false;
    }
    port = std::strtol(digits.c_str(), nullptr, 10);
    if (port > 65535) return false;
  }
  in_addr addr{};
  if (host.size() > 15 || inet_pton(AF_INET, host.c_str(), &addr) != 1) return false;
  out->host = host;
  out->port = static_cast<uint16_t>(port);
  return true;
}
