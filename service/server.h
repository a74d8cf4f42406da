// The service's network side: listening sockets and client connections on one epoll loop.
// Every socket is non-blocking, so a slow or stuck client never holds up another. A loop
// may also only accept and hand its sockets to other loops (the service's workers), which
// then serve them: everything about a connection stays in the thread of the loop serving it.
//
// What one connection holds, whatever its client sends or leaves unread:
// - input: at most two of the largest frames, 2 * (131072 + 6) = 262156 bytes: the buffer
//   grows only for a frame still arriving, and is not read while requests wait in it;
// - output queued: at most high_water plus the largest reply to one request. A request is
//   handled only while at most high_water bytes are queued (the others wait in the input,
//   unhandled, and the socket is not read), and a transfer adds one frame at a time while
//   fewer than high_water are queued. The largest reply is a module check's list of a
//   package of 65535 modules: one frame per 1000 modules, 66 frames of at most 131072 bytes
//   (8650752 bytes; its records are 5.2 MB before compression). Any other reply is one frame.
// With the default mark that is 256 KiB + 256 KiB + one reply. The outbox's storage, which
// grows by doubling and compacts as it sends, stays within about twice what it queued; grown
// past twice the mark, it is freed once the queue drains.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "service/connection_handler.h"

struct ServerLimits {
  int idle_timeout_ms = 120000;    // no byte in or out for this long closes a connection
  size_t high_water = 256 * 1024;  // queued output above which no request is read or handled
  size_t max_connections = 1024;
  // At max_connections, a new connection takes the place of the one that has waited longest
  // for a request (nothing to send, no transfer running), which is closed; refused only when
  // every one is busy. For short exchanges a silent client must not keep out (health checks).
  bool replace_idle = false;
};

using HandlerFactory = std::function<std::unique_ptr<ConnectionHandler>(const ConnectionInfo&)>;

// What the loop counts per endpoint kind, for the metrics endpoint: a copy, taken from any
// thread, of counters the loop keeps as atomics.
struct EndpointCounters {
  uint64_t open = 0;
  uint64_t total = 0;       // accepted since the start
  uint64_t refused = 0;     // closed at once: too many connections open
  uint64_t bytes_sent = 0;
  uint64_t outbox_peak = 0;  // the most bytes one connection had queued to send at once

  // Sums, but the peak of two loops is the larger one.
  EndpointCounters& operator+=(const EndpointCounters& other);
};

// A connection accepted by one loop and given to another to serve.
struct AcceptedSocket {
  int fd = -1;
  uint64_t id = 0;  // unique in the service: the accepting loop numbers them all
  EndpointKind kind = EndpointKind::kQuery;
  std::string peer;   // "A.B.C.D:PORT"
  std::string local;  // the listen address
};

// What a loop that hands connections out does with one it accepted.
enum class HandOffResult { kHandedOff, kServeHere, kRefused };
using HandOff = std::function<HandOffResult(AcceptedSocket&)>;

class Server {
 public:
  // `worker` names the loop in its log lines when the service runs several; -1: the only one.
  Server(ServerLimits limits, HandlerFactory factory, int worker = -1);
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

  // Sockets accepted here go to `hand_off` first; set before Run(). kRefused closes the socket
  // at once (too many connections open in the service), counted as refused here.
  void SetHandOff(HandOff hand_off) { hand_off_ = std::move(hand_off); }
  // Serves `socket` here, from now on (from any thread): it counts in connection_count() at
  // once, and the loop takes it up between two events.
  void Adopt(AcceptedSocket socket);
  // Runs `task` in the loop between two events (from any thread).
  void Post(std::function<void()> task);
  // Called in the loop when a connection closed that takes its installer's other update and
  // download connections with it (ClosesSession), with the client's address: for the loops
  // serving those connections. Set before Run().
  void SetOnSessionClosed(std::function<void(const std::string& host)> hook) {
    on_session_closed_ = std::move(hook);
  }
  // Closes the update and download connections from `host` served here. In the loop's thread.
  void CloseSession(const std::string& host);

  // Serves until Stop(); closes every connection and listener before it returns.
  void Run();
  // From any thread or a signal handler.
  void Stop();

  size_t connection_count() const { return connection_count_.load(); }
  EndpointCounters counters(EndpointKind kind) const;

 private:
  struct Connection;
  struct AtomicCounters {
    std::atomic<uint64_t> open{0};
    std::atomic<uint64_t> total{0};
    std::atomic<uint64_t> refused{0};
    std::atomic<uint64_t> bytes_sent{0};
    std::atomic<uint64_t> outbox_peak{0};
  };
  struct Listener {
    int fd;
    EndpointKind kind;
    ListenAddress address;
    bool paused;
  };

  void Accept(Listener& listener);
  // With replace_idle: closes the connection that has waited longest for a request. False when
  // none is waiting.
  bool ReplaceIdle();
  // Starts serving an accepted socket in this loop.
  void Serve(AcceptedSocket socket);
  // Takes up the sockets and tasks other threads posted.
  void TakePosted();
  void HandleEvent(Connection& c, uint32_t events);
  // Hands the buffered input to the handler and drops what it consumed.
  bool HandleInput(Connection& c, std::string* reason);
  bool ReadInput(Connection& c, uint32_t events, std::string* reason);
  // Takes the connection's queued output into its endpoint's peak.
  void NoteQueued(const Connection& c);
  bool Service(Connection& c, std::string* reason);
  void UpdateInterest(Connection& c);
  void Sweep();
  void Close(uint64_t id, const std::string& reason);
  void Close(uint64_t id, CloseCause cause, const std::string& reason);
  int WaitTimeoutMs() const;

  ServerLimits limits_;
  HandlerFactory factory_;
  int worker_;
  HandOff hand_off_;
  std::function<void(const std::string&)> on_session_closed_;
  int epoll_fd_ = -1;
  int stop_fd_ = -1;
  int post_fd_ = -1;  // eventfd: something was posted
  std::mutex posted_mutex_;
  std::vector<AcceptedSocket> posted_sockets_;
  std::vector<std::function<void()>> posted_tasks_;
  std::vector<Listener> listeners_;
  std::vector<std::function<void()>> watches_;
  AtomicCounters counters_[kEndpointKinds];
  std::vector<ListenAddress> bound_;
  std::map<uint64_t, std::unique_ptr<Connection>> connections_;
  uint64_t next_id_ = 1;
  std::atomic<size_t> connection_count_{0};
  std::chrono::steady_clock::time_point last_sweep_{};
};
