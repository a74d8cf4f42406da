// Name resolution for the update servers: the first IPv4 address of a host name.
#pragma once

#include <cstddef>

// Writes the first IPv4 address of `host` as dotted text into `out` (at least 16 bytes). False
// when the name does not resolve. Blocking; the sockets library must be started on Windows.
bool ResolveHostIPv4(const char* host, char* out, size_t out_size);
