// The service's network side: listening sockets and client connections on one epoll loop.
// Every socket is non-blocking, so a slow or stuck client never holds up another; each
// connection's memory is bounded by its input buffer and the outbox high-water mark.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "service/connection_handler.h"

struct ServerLimits {
  int idle_timeout_ms = 120000;    // no byte in or out for this long closes a connection
  size_t high_water = 256 * 1024;  // outbox size above which nothing more is queued or read
  size_t max_connections = 1024;
};

using HandlerFactory = std::function<std::unique_ptr<ConnectionHandler>(const ConnectionInfo&)>;

// What the loop counts per endpoint kind, for the metrics endpoint. Read in the loop's thread.
struct EndpointCounters {
  uint64_t open = 0;
  uint64_t total = 0;       // accepted since the start
  uint64_t refused = 0;     // closed at once: too many connections open
  uint64_t bytes_sent = 0;
};

class Server {
 public:
  Server(ServerLimits limits, HandlerFactory factory);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Binds and listens. False with the reason when the address cannot be used.
  bool Listen(EndpointKind kind, const ListenAddress& address, std::string* error);
  // The address each listener got, in Listen order (with the real port when 0 was asked).
  const std::vector<ListenAddress>& bound() const { return bound_; }

  // Calls `on_readable` in the loop whenever `fd` is readable: signals and wake-ups from other
  // threads are handled between two connection events, never beside them. The caller keeps
  // `fd` open while the server runs.
  void Watch(int fd, std::function<void()> on_readable);

  // Serves until Stop(); closes every connection and listener before it returns.
  void Run();
  // From any thread or a signal handler.
  void Stop();

  size_t connection_count() const { return connection_count_.load(); }
  const EndpointCounters& counters(EndpointKind kind) const {
    return counters_[static_cast<size_t>(kind)];
  }

 private:
  struct Connection;
  struct Listener {
    int fd;
    EndpointKind kind;
    ListenAddress address;
    bool paused;
  };

  void Accept(Listener& listener);
  void HandleEvent(Connection& c, uint32_t events);
  // Hands the buffered input to the handler and drops what it consumed.
  bool HandleInput(Connection& c, std::string* reason);
  bool ReadInput(Connection& c, std::string* reason);
  bool Service(Connection& c, std::string* reason);
  void UpdateInterest(Connection& c);
  void Sweep();
  void Close(uint64_t id, const std::string& reason);
  void Close(uint64_t id, CloseCause cause, const std::string& reason);
  int WaitTimeoutMs() const;

  ServerLimits limits_;
  HandlerFactory factory_;
  int epoll_fd_ = -1;
  int stop_fd_ = -1;
  std::vector<Listener> listeners_;
  std::vector<std::function<void()>> watches_;
  EndpointCounters counters_[kEndpointKinds];
  std::vector<ListenAddress> bound_;
  std::map<uint64_t, std::unique_ptr<Connection>> connections_;
  uint64_t next_id_ = 1;
  std::atomic<size_t> connection_count_{0};
  std::chrono::steady_clock::time_point last_sweep_{};
};
