// Winsock side of the socket seam: non-blocking connect through select, the keep-alive timing
// through SIO_KEEPALIVE_VALS.
#include "net/socket_ops.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>

namespace {

SOCKET Sock(SocketHandle socket) { return static_cast<SOCKET>(socket); }

void SetIntOption(SocketHandle socket, int level, int name, int value) {
  setsockopt(Sock(socket), level, name, reinterpret_cast<const char*>(&value), sizeof value);
}

bool MakeAddress(const char* address, uint16_t port, sockaddr_in* out) {
  *out = sockaddr_in{};
  out->sin_family = AF_INET;
  out->sin_port = htons(port);
  return address != nullptr && inet_pton(AF_INET, address, &out->sin_addr) == 1;
}

timeval Timeout(int timeout_ms) {
  timeval tv;
  tv.tv_sec = timeout_ms / 1000;
  tv.tv_usec = (timeout_ms % 1000) * 1000;
  return tv;
}

}  // namespace

bool StartSockets() {
  WSADATA data;
  return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

void StopSockets() { WSACleanup(); }

SocketHandle OpenTcpSocket() {
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  return s == INVALID_SOCKET ? kInvalidSocket : static_cast<SocketHandle>(s);
}

void CloseSocket(SocketHandle socket) {
  if (socket != kInvalidSocket) closesocket(Sock(socket));
}

void ShutdownSocket(SocketHandle socket) {
  if (socket != kInvalidSocket) shutdown(Sock(socket), SD_BOTH);
}

bool SetBlocking(SocketHandle socket, bool blocking) {
  u_long non_blocking = blocking ? 0 : 1;
  return ioctlsocket(Sock(socket), FIONBIO, &non_blocking) == 0;
}

void SetConnectionOptions(SocketHandle socket) {
  SetIntOption(socket, IPPROTO_TCP, TCP_NODELAY, 1);
  SetIntOption(socket, SOL_SOCKET, SO_KEEPALIVE, 1);
  tcp_keepalive values;
  values.onoff = 1;
  values.keepalivetime = 5000;
  values.keepaliveinterval = 5000;
  DWORD returned = 0;
  WSAIoctl(Sock(socket), SIO_KEEPALIVE_VALS, &values, sizeof values, /*lpvOutBuffer=*/nullptr,
           /*cbOutBuffer=*/0, &returned, /*lpOverlapped=*/nullptr,
           /*lpCompletionRoutine=*/nullptr);
  SetIntOption(socket, SOL_SOCKET, SO_SNDBUF, 32768);
  SetIntOption(socket, SOL_SOCKET, SO_RCVBUF, 131072);
}

bool StartConnect(SocketHandle socket, const char* address, uint16_t port) {
  sockaddr_in addr;
  if (!MakeAddress(address, port, &addr)) return false;
  connect(Sock(socket), reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  return true;
}

bool WaitConnected(SocketHandle socket, int timeout_ms) {
  fd_set writable;
  fd_set failed;
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  FD_SET(Sock(socket), &writable);
  FD_SET(Sock(socket), &failed);
  timeval tv = Timeout(timeout_ms);
  if (select(/*nfds=*/0, /*readfds=*/nullptr, &writable, &failed, &tv) <= 0) return false;
  if (!FD_ISSET(Sock(socket), &writable)) return false;
  int error = 0;
  int size = sizeof error;
  if (getsockopt(Sock(socket), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) != 0) {
    return false;
  }
  return error == 0;
}

int WaitReadable(SocketHandle socket, int timeout_ms) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(Sock(socket), &readable);
  timeval tv = Timeout(timeout_ms);
  int r = select(/*nfds=*/0, &readable, /*writefds=*/nullptr, /*exceptfds=*/nullptr, &tv);
  if (r == SOCKET_ERROR) return -1;
  return r == 0 ? 0 : 1;
}

int SendBytes(SocketHandle socket, const void* data, int length) {
  int n = send(Sock(socket), static_cast<const char*>(data), length, /*flags=*/0);
  return n == SOCKET_ERROR ? -1 : n;
}

int ReceiveBytes(SocketHandle socket, void* buffer, int capacity) {
  int n = recv(Sock(socket), static_cast<char*>(buffer), capacity, /*flags=*/0);
  return n == SOCKET_ERROR ? -1 : n;
}

int ReceiveQueued(SocketHandle socket, void* buffer, int capacity) {
  // A blocking socket has no "don't wait" flag here: ask how much is queued, then take at most
  // that, which a blocking recv returns at once.
  u_long queued = 0;
  if (ioctlsocket(Sock(socket), FIONREAD, &queued) == SOCKET_ERROR) return -1;
  if (queued == 0) return 0;
  const int length = queued < static_cast<u_long>(capacity) ? static_cast<int>(queued) : capacity;
  return ReceiveBytes(socket, buffer, length);
}

SocketHandle OpenListener(const char* address, uint16_t port, int backlog, uint16_t* bound_port) {
  sockaddr_in addr;
  if (!MakeAddress(address, port, &addr)) return kInvalidSocket;
  UniqueSocket s(OpenTcpSocket());
  if (!s.valid()) return kInvalidSocket;
  if (bind(Sock(s.get()), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(Sock(s.get()), backlog) != 0) {
    return kInvalidSocket;
  }
  int size = sizeof addr;
  if (bound_port != nullptr &&
      getsockname(Sock(s.get()), reinterpret_cast<sockaddr*>(&addr), &size) == 0) {
    *bound_port = ntohs(addr.sin_port);
  }
  return s.release();
}

SocketHandle AcceptConnection(SocketHandle listener, int timeout_ms) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(Sock(listener), &readable);
  timeval tv = Timeout(timeout_ms);
  if (select(/*nfds=*/0, &readable, /*writefds=*/nullptr, /*exceptfds=*/nullptr, &tv) <= 0) {
    return kInvalidSocket;
  }
  SOCKET s = accept(Sock(listener), /*addr=*/nullptr, /*addrlen=*/nullptr);
  return s == INVALID_SOCKET ? kInvalidSocket : static_cast<SocketHandle>(s);
}
