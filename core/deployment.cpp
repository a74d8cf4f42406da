// The compiled-in deployment values as the structs the server selection and the controller take.
#include "core/deployment.h"

#include <cstdio>
#include <cstring>

#include "base/deployment_values.h"

namespace {

void FillEntry(QueryServers::Entry* entry, const char* address, uint16_t port) {
  std::memset(entry->Address, 0, sizeof entry->Address);
  std::memcpy(entry->Address, address, strnlen(address, sizeof entry->Address - 1));
  entry->Port = port;
}

}  // namespace

QueryServers DeploymentQueryServers() {
  QueryServers servers;
  const char* addresses[4] = {QB_QUERY_SERVER_0, QB_QUERY_SERVER_1, QB_QUERY_SERVER_2,
                              QB_QUERY_SERVER_3};
  for (int i = 0; i < 4; ++i) FillEntry(&servers.Servers[i], addresses[i], QB_QUERY_PORT);
  return servers;
}

UpdateServers DeploymentUpdateServers() {
  UpdateServers servers{};
  std::snprintf(servers.HostPattern, sizeof servers.HostPattern, "%s", QB_UPDATE_HOST_PATTERN);
  servers.Port = QB_UPDATE_PORT;
  return servers;
}
