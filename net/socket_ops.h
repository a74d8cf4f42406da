// The one seam between the network code and the operating system's sockets (Winsock on Windows,
// BSD sockets natively): IPv4 TCP client and listener operations with plain int results.
#pragma once

#include <cstdint>

#include "base/scoped_generic.h"

// A socket handle; -1 is "no socket" on both sides (INVALID_SOCKET is ~0 on Windows).
using SocketHandle = intptr_t;
constexpr SocketHandle kInvalidSocket = -1;

// WSAStartup for version 2.2 / WSACleanup on Windows; nothing natively. Calls nest.
bool StartSockets();
void StopSockets();

// Keeps the sockets library started for its lifetime (tests, tools).
class SocketsLibrary {
 public:
  SocketsLibrary() { StartSockets(); }
  ~SocketsLibrary() { StopSockets(); }
  SocketsLibrary(const SocketsLibrary&) = delete;
  SocketsLibrary& operator=(const SocketsLibrary&) = delete;
};

// An IPv4 stream socket with protocol TCP, or kInvalidSocket.
SocketHandle OpenTcpSocket();
void CloseSocket(SocketHandle socket);
// Ends both directions without releasing the handle: a thread blocked on it wakes up.
void ShutdownSocket(SocketHandle socket);
bool SetBlocking(SocketHandle socket, bool blocking);

// The client options of a connection: no Nagle delay, keep-alive probes after 5 s idle and every
// 5 s, send buffer 32768, receive buffer 131072. Failures are ignored.
void SetConnectionOptions(SocketHandle socket);

// Starts a connect on a non-blocking socket. False when `address` is not dotted-quad IPv4 text;
// then no attempt is made. The immediate result of the connect itself is not examined.
bool StartConnect(SocketHandle socket, const char* address, uint16_t port);

// Waits up to `timeout_ms` for a started connect. True only when the connection is up: a refused
// or failed connect is reported as failure even where the socket shows as writable.
bool WaitConnected(SocketHandle socket, int timeout_ms);

// 1 when data (or end of stream) can be read, 0 on time-out, -1 on error.
int WaitReadable(SocketHandle socket, int timeout_ms);

// One send call with all bytes; the count sent, or -1. Never raises SIGPIPE.
int SendBytes(SocketHandle socket, const void* data, int length);
// One recv call; the count received, 0 at end of stream, -1 on error.
int ReceiveBytes(SocketHandle socket, void* buffer, int capacity);
// What has already arrived, without waiting for more: the count received, 0 when nothing is
// queued now (or the stream has ended, which the next wait and receive then report), -1 on error.
int ReceiveQueued(SocketHandle socket, void* buffer, int capacity);

// A blocking listener on address:port (port 0 picks a free one, written to `bound_port`), or
// kInvalidSocket. For tests and the reference service.
SocketHandle OpenListener(const char* address, uint16_t port, int backlog, uint16_t* bound_port);
// Accepts one connection within `timeout_ms` (a blocking socket), or kInvalidSocket.
SocketHandle AcceptConnection(SocketHandle listener, int timeout_ms);

struct SocketTraits {
  using Handle = SocketHandle;
  static SocketHandle InvalidValue() { return kInvalidSocket; }
  static void Free(SocketHandle socket) { CloseSocket(socket); }
};

// Owns one socket handle and closes it when it goes.
using UniqueSocket = ScopedGeneric<SocketTraits>;
