// Name resolution through gethostbyname, as the installer has always resolved its update hosts.
#include "net/host_resolve.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdio>

bool ResolveHostIPv4(const char* host, char* out, size_t out_size) {
  if (host == nullptr || out == nullptr || out_size < 16) return false;
  const hostent* entry = gethostbyname(host);
  if (entry == nullptr || entry->h_addrtype != AF_INET || entry->h_length != 4 ||
      entry->h_addr_list == nullptr || entry->h_addr_list[0] == nullptr) {
    return false;
  }
  const auto* bytes = reinterpret_cast<const unsigned char*>(entry->h_addr_list[0]);
  std::snprintf(out, out_size, "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
  return true;
}
