// Name resolution through getaddrinfo (IPv4 only).
#include "net/host_resolve.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cstring>

bool ResolveHostIPv4(const char* host, char* out, size_t out_size) {
  if (host == nullptr || out == nullptr || out_size < INET_ADDRSTRLEN) return false;
  addrinfo hints = {};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &result) != 0 || result == nullptr) return false;
  const auto* address = reinterpret_cast<const sockaddr_in*>(result->ai_addr);
  const bool ok = inet_ntop(AF_INET, &address->sin_addr, out, static_cast<socklen_t>(out_size));
  freeaddrinfo(result);
  return ok;
}
