// Blocking loopback client sockets for the service's tests.
#pragma once

#include <cstdint>
#include <string>

class TestSocket {
 public:
  TestSocket() = default;
  ~TestSocket();
  TestSocket(TestSocket&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  TestSocket(const TestSocket&) = delete;
  TestSocket& operator=(const TestSocket&) = delete;

  // Connects with a receive time-out; false when the connection cannot be made.
  bool Connect(const std::string& host, uint16_t port, int timeout_ms = 5000);
  bool Send(const std::string& bytes);
  // Exactly `length` bytes, or false on time-out / end of stream.
  bool ReceiveExactly(size_t length, std::string* bytes);
  // Whatever arrives next (at most `max`); empty on end of stream or time-out.
  std::string ReceiveSome(size_t max = 65536);
  // True when the server closed the stream (reads to the end, dropping data, within the time-out).
  bool WaitClosed();
  void Close();
  int fd() const { return fd_; }
  // The port this end of the connection got: what the service's log names the client by.
  uint16_t LocalPort() const;

 private:
  int fd_ = -1;
};

// GET `path` over HTTP/1.1 and everything answered until the server closed; empty when the
// connection cannot be made.
std::string HttpGet(const std::string& host, uint16_t port, const std::string& path);
// A port nothing listens on now, for a program that needs one named (as --metrics does).
uint16_t FreePort();
