// TTcp: one IPv4 TCP client connection with its own receive thread, reporting connect, disconnect
// and received data to a TTcp::TNotify.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "base/thread.h"
#include "net/socket_ops.h"
#include "net/tcp_receive_buffer.h"

class TTcp : public TThread {
 public:
  class TNotify {
   public:
    // The connection is up (called on the thread that connects). False gives it up again: the
    // connect then fails and OnDisconnect reports the loss.
    virtual bool OnConnect(TTcp* tcp) = 0;
    // The connection is gone or could not be made; once per connection or failed attempt.
    virtual void OnDisconnect(TTcp* tcp) = 0;
    // `data` is the unconsumed part of the receive buffer; returns how many bytes were used
    // (0..length). A negative result drops the connection. Runs on the receive thread.
    virtual int OnRecv(TTcp* tcp, const uint8_t* data, uint32_t length) = 0;

   protected:
    ~TNotify() = default;
  };

  // Results of Connect.
  static constexpr int kConnected = 0;
  static constexpr int kAlreadyOpen = 1;
  static constexpr int kNoSocket = 2;
  static constexpr int kConnectFailed = 3;

  static constexpr int kConnectTimeoutMs = 1000;

  // Starts the sockets library for the object's lifetime.
  TTcp();
  // Stops the receive thread and waits for it, then releases the socket without reporting.
  ~TTcp() override;

  void SetNotify(TNotify* notify) { notify_ = notify; }
  TNotify* notify() const { return notify_; }

  // Connects to dotted-quad `address`:`port` within one second. The first success starts the
  // receive thread, which then serves every later connection of this object. kConnectFailed
  // also when the notify's OnConnect refuses the new connection.
  int Connect(const char* address, uint16_t port);
  // One send call with all bytes: 0 when all went out; otherwise the connection is closed and 1.
  int Send(const uint8_t* data, uint32_t length);
  // Ends the connection if one is open and reports OnDisconnect; otherwise nothing.
  void Close();
  bool IsConnected() const { return connected_.load(); }
  // Bytes received on every connection of this object so far. Read from any thread: the
  // installer's stall watchdog compares it over time.
  uint64_t BytesReceived() const { return bytes_received_.load(std::memory_order_relaxed); }

  // The receive loop, run on the receive thread.
  void Run() override;

 private:
  // A socket with the operations currently using it. A socket closed while in use is only shut
  // down; the last user releases the handle, so no thread ever works on a reused handle.
  struct Lease {
    SocketHandle socket = kInvalidSocket;
    int users = 0;
    bool retired = false;
  };
  static constexpr int kLeaseCount = 4;

  // All under lock_.
  Lease* FindLease(SocketHandle socket);
  bool AcquireCurrent(SocketHandle* socket, uint64_t* generation);
  void ReleaseLease(SocketHandle socket);
  bool RetireCurrent();

  // Closes the connection only if it is still the one of `generation`.
  void CloseGeneration(uint64_t generation);
  void ReportDisconnect();

  TNotify* notify_ = nullptr;
  std::atomic<bool> connected_{false};
  std::atomic<uint64_t> bytes_received_{0};

  std::mutex lock_;
  SocketHandle socket_ = kInvalidSocket;  // the open connection, or none
  uint64_t generation_ = 0;               // counts successful connects
  bool connecting_ = false;
  Lease leases_[kLeaseCount];

  // Receive thread only.
  uint64_t receive_generation_ = 0;
  TcpReceiveBuffer buffer_;
};
