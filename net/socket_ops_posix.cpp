// BSD sockets side of the socket seam. poll instead of select, so descriptor numbers above
// FD_SETSIZE cannot overrun anything; connect results are read from SO_ERROR because a refused
// non-blocking connect also shows as writable here.
#include "net/socket_ops.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int Fd(SocketHandle socket) { return static_cast<int>(socket); }

void SetIntOption(SocketHandle socket, int level, int name, int value) {
  setsockopt(Fd(socket), level, name, &value, sizeof value);
}

bool MakeAddress(const char* address, uint16_t port, sockaddr_in* out) {
  *out = sockaddr_in{};
  out->sin_family = AF_INET;
  out->sin_port = htons(port);
  return address != nullptr && inet_pton(AF_INET, address, &out->sin_addr) == 1;
}

// poll that restarts after signals; the result of the last call.
int PollOne(SocketHandle socket, short events, int timeout_ms, short* revents) {
  pollfd p{Fd(socket), events, 0};
  int r;
  do {
    r = poll(&p, 1, timeout_ms);
  } while (r < 0 && errno == EINTR);
  *revents = p.revents;
  return r;
}

}  // namespace

bool StartSockets() { return true; }
void StopSockets() {}

SocketHandle OpenTcpSocket() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  return fd < 0 ? kInvalidSocket : fd;
}

void CloseSocket(SocketHandle socket) {
  if (socket != kInvalidSocket) close(Fd(socket));
}

void ShutdownSocket(SocketHandle socket) {
  if (socket != kInvalidSocket) shutdown(Fd(socket), SHUT_RDWR);
}

bool SetBlocking(SocketHandle socket, bool blocking) {
  int flags = fcntl(Fd(socket), F_GETFL, 0);
  if (flags < 0) return false;
  flags = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
  return fcntl(Fd(socket), F_SETFL, flags) == 0;
}

void SetConnectionOptions(SocketHandle socket) {
  SetIntOption(socket, IPPROTO_TCP, TCP_NODELAY, 1);
  SetIntOption(socket, SOL_SOCKET, SO_KEEPALIVE, 1);
  SetIntOption(socket, IPPROTO_TCP, TCP_KEEPIDLE, 5);
  SetIntOption(socket, IPPROTO_TCP, TCP_KEEPINTVL, 5);
  SetIntOption(socket, SOL_SOCKET, SO_SNDBUF, 32768);
  SetIntOption(socket, SOL_SOCKET, SO_RCVBUF, 131072);
}

bool StartConnect(SocketHandle socket, const char* address, uint16_t port) {
  sockaddr_in addr;
  if (!MakeAddress(address, port, &addr)) return false;
  connect(Fd(socket), reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  return true;
}

bool WaitConnected(SocketHandle socket, int timeout_ms) {
  short revents = 0;
  if (PollOne(socket, POLLOUT, timeout_ms, &revents) <= 0) return false;
  int error = 0;
  socklen_t size = sizeof error;
  if (getsockopt(Fd(socket), SOL_SOCKET, SO_ERROR, &error, &size) != 0) return false;
  return error == 0 && (revents & POLLOUT) != 0;
}

int WaitReadable(SocketHandle socket, int timeout_ms) {
  short revents = 0;
  int r = PollOne(socket, POLLIN, timeout_ms, &revents);
  if (r < 0) return -1;
  if (r == 0) return 0;
  // POLLNVAL: the descriptor is not open; anything else (data, end of stream, error) is for
  // recv to tell.
  return (revents & POLLNVAL) != 0 ? -1 : 1;
}

int SendBytes(SocketHandle socket, const void* data, int length) {
  ssize_t n = send(Fd(socket), data, static_cast<size_t>(length), MSG_NOSIGNAL);
  return n < 0 ? -1 : static_cast<int>(n);
}

int ReceiveBytes(SocketHandle socket, void* buffer, int capacity) {
  ssize_t n;
  do {
    n = recv(Fd(socket), buffer, static_cast<size_t>(capacity), 0);
  } while (n < 0 && errno == EINTR);
  return n < 0 ? -1 : static_cast<int>(n);
}

int ReceiveQueued(SocketHandle socket, void* buffer, int capacity) {
  ssize_t n;
  do {
    n = recv(Fd(socket), buffer, static_cast<size_t>(capacity), MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
  return static_cast<int>(n);
}

SocketHandle OpenListener(const char* address, uint16_t port, int backlog, uint16_t* bound_port) {
  sockaddr_in addr;
  if (!MakeAddress(address, port, &addr)) return kInvalidSocket;
  UniqueSocket s(OpenTcpSocket());
  if (!s.valid()) return kInvalidSocket;
  SetIntOption(s.get(), SOL_SOCKET, SO_REUSEADDR, 1);
  if (bind(Fd(s.get()), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(Fd(s.get()), backlog) != 0) {
    return kInvalidSocket;
  }
  socklen_t size = sizeof addr;
  if (bound_port != nullptr &&
      getsockname(Fd(s.get()), reinterpret_cast<sockaddr*>(&addr), &size) == 0) {
    *bound_port = ntohs(addr.sin_port);
  }
  return s.release();
}

SocketHandle AcceptConnection(SocketHandle listener, int timeout_ms) {
  short revents = 0;
  if (PollOne(listener, POLLIN, timeout_ms, &revents) <= 0) return kInvalidSocket;
  int fd = accept4(Fd(listener), nullptr, nullptr, SOCK_CLOEXEC);
  return fd < 0 ? kInvalidSocket : fd;
}
