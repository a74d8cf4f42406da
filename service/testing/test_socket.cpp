// Loopback test sockets: blocking, with a receive time-out so a failing test never hangs.
#include "service/testing/test_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

TestSocket::~TestSocket() { Close(); }

bool TestSocket::Connect(const std::string& host, uint16_t port, int timeout_ms) {
  Close();
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return false;
  timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
  int one = 1;
  setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  inet_pton(AF_INET, host.c_str(), &addr.sin_addr);
  if (connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    Close();
    return false;
  }
  return true;
}

bool TestSocket::Send(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool TestSocket::ReceiveExactly(size_t length, std::string* bytes) {
  bytes->assign(length, '\0');
  size_t done = 0;
  while (done < length) {
    ssize_t n = recv(fd_, &(*bytes)[done], length - done, 0);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string TestSocket::ReceiveSome(size_t max) {
  std::string bytes(max, '\0');
  ssize_t n = recv(fd_, &bytes[0], max, 0);
  bytes.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return bytes;
}

bool TestSocket::WaitClosed() {
  char buffer[65536];
  while (true) {
    ssize_t n = recv(fd_, buffer, sizeof(buffer), 0);
    if (n == 0) return true;
    if (n < 0) return errno == ECONNRESET;
  }
}

void TestSocket::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

uint16_t TestSocket::LocalPort() const {
  sockaddr_in addr{};
  socklen_t len = sizeof(addr);
  if (getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
  return ntohs(addr.sin_port);
}

std::string HttpGet(const std::string& host, uint16_t port, const std::string& path) {
  TestSocket socket;
  if (!socket.Connect(host, port)) return "";
  if (!socket.Send("GET " + path + " HTTP/1.1\r\nHost: test\r\n\r\n")) return "";
  std::string answer;
  for (std::string more; !(more = socket.ReceiveSome()).empty();) answer += more;
  return answer;
}

uint16_t FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
  socklen_t len = sizeof(addr);
  uint16_t port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
    port = ntohs(addr.sin_port);
  }
  close(fd);
  return port;
}
