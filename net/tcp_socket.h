// TcpSocket: the TTcp of one connection bundle and the callbacks that connect it to the bundle's
// protocol session.
#pragma once

#include <cstdint>

#include "net/tcp.h"

class Protocol;

class TcpSocket : public TTcp::TNotify {
 public:
  // The TTcp reports to this object.
  TcpSocket() { tcp_.SetNotify(this); }
  TcpSocket(const TcpSocket&) = delete;
  TcpSocket& operator=(const TcpSocket&) = delete;

  void SetSession(Protocol* session) { session_ = session; }
  Protocol* session() const { return session_; }
  TTcp& tcp() { return tcp_; }

  // Marks the session linked and sends the authentication link request; false when it did not
  // go out.
  bool OnConnect(TTcp* tcp) override;
  // Clears the session's linked flag and tells the client ("代理错误", 9).
  void OnDisconnect(TTcp* tcp) override;
  // Hands the received bytes to the session's frame parser.
  int OnRecv(TTcp* tcp, const uint8_t* data, uint32_t length) override;

 private:
  Protocol* session_ = nullptr;
  TTcp tcp_;
};
