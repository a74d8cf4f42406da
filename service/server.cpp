// The epoll loop: accept (or take up what another loop accepted), read, hand bytes to the
// connection's handler, write what it queued, time out idle connections, stop on request.
#include "service/server.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "service/service_log.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint64_t kListenerTag = 1ULL << 63;
constexpr uint64_t kStopTag = 1ULL << 62;
constexpr uint64_t kWatchTag = 1ULL << 61;
constexpr uint64_t kPostTag = 1ULL << 60;
// Room for one largest frame and the start of the next; a request never needs more. The buffer
// starts small and grows towards this only while a large request is arriving.
constexpr size_t kInputCapacity = 2 * (131072 + 6);
constexpr size_t kInputInitial = 16 * 1024;
constexpr int kSweepMs = 100;
// Each event may queue and write this much per connection before the loop moves on.
constexpr int kServiceRounds = 4;

std::string AddressText(const sockaddr_in& addr) {
  char host[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &addr.sin_addr, host, sizeof(host));
  return std::string(host) + ":" + std::to_string(ntohs(addr.sin_port));
}

}  // namespace

struct Server::Connection {
  int fd = -1;
  ConnectionInfo info;
  std::unique_ptr<ConnectionHandler> handler;
  std::vector<uint8_t> input = std::vector<uint8_t>(kInputInitial);
  size_t input_length = 0;
  Outbox out;
  Clock::time_point last_activity;
  uint32_t interest = 0;
  bool write_blocked = false;
  bool held_logged = false;  // its requests were held back once already (logged once)
  // Why the connection is being closed when a step returns false; the handler's own refusal
  // unless the step says otherwise.
  CloseCause cause = CloseCause::kRefused;
};

const char* CloseCauseName(CloseCause cause) {
  switch (cause) {
    case CloseCause::kRefused:
      return "refused";
    case CloseCause::kClientClosed:
      return "client_closed";
    case CloseCause::kNetworkError:
      return "network_error";
    case CloseCause::kTooLarge:
      return "too_large";
    case CloseCause::kIdle:
      return "idle";
    case CloseCause::kOnPurpose:
      return "closed_by_service";
    case CloseCause::kSession:
      return "session_closed";
    case CloseCause::kStopping:
      return "service_stopping";
  }
  return "?";
}

EndpointCounters& EndpointCounters::operator+=(const EndpointCounters& other) {
  open += other.open;
  total += other.total;
  refused += other.refused;
  bytes_sent += other.bytes_sent;
  outbox_peak = std::max(outbox_peak, other.outbox_peak);
  return *this;
}

Server::Server(ServerLimits limits, HandlerFactory factory, int worker)
    : limits_(limits), factory_(std::move(factory)), worker_(worker) {
  epoll_fd_ = epoll_create1(EPOLL_CLOEXEC);
  stop_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  post_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = kStopTag;
  epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, stop_fd_, &ev);
  ev.data.u64 = kPostTag;
  epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, post_fd_, &ev);
}

Server::~Server() {
  for (auto& [id, c] : connections_) close(c->fd);
  for (AcceptedSocket& s : posted_sockets_) close(s.fd);
  for (Listener& l : listeners_) close(l.fd);
  if (post_fd_ >= 0) close(post_fd_);
  if (stop_fd_ >= 0) close(stop_fd_);
  if (epoll_fd_ >= 0) close(epoll_fd_);
}

EndpointCounters Server::counters(EndpointKind kind) const {
  const AtomicCounters& c = counters_[static_cast<size_t>(kind)];
  EndpointCounters copy;
  copy.open = c.open.load();
  copy.total = c.total.load();
  copy.refused = c.refused.load();
  copy.bytes_sent = c.bytes_sent.load();
  copy.outbox_peak = c.outbox_peak.load();
  return copy;
}

bool Server::Listen(EndpointKind kind, const ListenAddress& address, std::string* error) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(address.port);
  if (inet_pton(AF_INET, address.host.c_str(), &addr.sin_addr) != 1) {
    *error = "bad address " + address.ToString();
    return false;
  }
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = std::string("socket: ") + strerror(errno);
    return false;
  }
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || listen(fd, 256) != 0) {
    *error = "cannot listen on " + address.ToString() + ": " + strerror(errno);
    close(fd);
    return false;
  }
  socklen_t len = sizeof(addr);
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ListenAddress actual{address.host, ntohs(addr.sin_port)};
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = kListenerTag | listeners_.size();
  epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &ev);
  listeners_.push_back({fd, kind, actual, false});
  bound_.push_back(actual);
  ServiceLogF("%s listening on %s", EndpointName(kind), actual.ToString().c_str());
  return true;
}

void Server::Watch(int fd, std::function<void()> on_readable) {
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = kWatchTag | watches_.size();
  epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &ev);
  watches_.push_back(std::move(on_readable));
}

void Server::Stop() {
  uint64_t one = 1;
  ssize_t ignored = write(stop_fd_, &one, sizeof(one));
  (void)ignored;
}

void Server::Adopt(AcceptedSocket socket) {
  ++connection_count_;
  {
    std::lock_guard<std::mutex> lock(posted_mutex_);
    posted_sockets_.push_back(std::move(socket));
  }
  uint64_t one = 1;
  ssize_t ignored = write(post_fd_, &one, sizeof(one));
  (void)ignored;
}

void Server::Post(std::function<void()> task) {
  {
    std::lock_guard<std::mutex> lock(posted_mutex_);
    posted_tasks_.push_back(std::move(task));
  }
  uint64_t one = 1;
  ssize_t ignored = write(post_fd_, &one, sizeof(one));
  (void)ignored;
}

void Server::TakePosted() {
  uint64_t count = 0;
  ssize_t ignored = read(post_fd_, &count, sizeof(count));
  (void)ignored;
  std::vector<AcceptedSocket> sockets;
  std::vector<std::function<void()>> tasks;
  {
    std::lock_guard<std::mutex> lock(posted_mutex_);
    sockets.swap(posted_sockets_);
    tasks.swap(posted_tasks_);
  }
  for (AcceptedSocket& s : sockets) Serve(std::move(s));
  for (auto& task : tasks) task();
}

void Server::Run() {
  epoll_event events[64];
  bool stopping = false;
  last_sweep_ = Clock::now();
  while (!stopping) {
    int n = epoll_wait(epoll_fd_, events, 64, WaitTimeoutMs());
    if (n < 0 && errno != EINTR) {
      ServiceLogF("epoll_wait failed: %s", strerror(errno));
      break;
    }
    for (int i = 0; i < n; ++i) {
      uint64_t tag = events[i].data.u64;
      if (tag == kStopTag) {
        stopping = true;
      } else if (tag == kPostTag) {
        TakePosted();
      } else if (tag & kWatchTag) {
        watches_[tag & ~kWatchTag]();
      } else if (tag & kListenerTag) {
        Accept(listeners_[tag & ~kListenerTag]);
      } else {
        auto it = connections_.find(tag);
        if (it != connections_.end()) HandleEvent(*it->second, events[i].events);
      }
    }
    if (Clock::now() - last_sweep_ >= std::chrono::milliseconds(kSweepMs) || n == 0) Sweep();
  }
  std::vector<uint64_t> ids;
  for (auto& [id, c] : connections_) ids.push_back(id);
  for (uint64_t id : ids) Close(id, CloseCause::kStopping, "service stopping");
  for (Listener& l : listeners_) close(l.fd);
  listeners_.clear();
  // Sockets handed here after the last event were never served.
  std::lock_guard<std::mutex> lock(posted_mutex_);
  for (AcceptedSocket& s : posted_sockets_) {
    ServiceLogF("%s#%llu closed before it was served: service stopping", EndpointName(s.kind),
                static_cast<unsigned long long>(s.id));
    close(s.fd);
    --connection_count_;
  }
  posted_sockets_.clear();
}

int Server::WaitTimeoutMs() const {
  int timeout = kSweepMs;
  Clock::time_point now = Clock::now();
  for (const auto& [id, c] : connections_) {
    Clock::time_point until;
    if (c->out.held(&until)) {
      auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count() + 1;
      timeout = std::min<int>(timeout, static_cast<int>(std::max<int64_t>(ms, 0)));
    }
  }
  return timeout;
}

void Server::Accept(Listener& listener) {
  while (true) {
    sockaddr_in peer{};
    socklen_t len = sizeof(peer);
    int fd = accept4(listener.fd, reinterpret_cast<sockaddr*>(&peer), &len,
                     SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        // Out of descriptors: stop accepting here until the next sweep frees some.
        ServiceLogF("%s %s: accept failed: %s", EndpointName(listener.kind),
                    listener.address.ToString().c_str(), strerror(errno));
        epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, listener.fd, nullptr);
        listener.paused = true;
      }
      return;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    AcceptedSocket socket;
    socket.fd = fd;
    socket.id = next_id_++;
    socket.kind = listener.kind;
    socket.peer = AddressText(peer);
    socket.local = listener.address.ToString();
    HandOffResult handed = hand_off_ ? hand_off_(socket) : HandOffResult::kServeHere;
    if (handed == HandOffResult::kHandedOff) continue;
    const bool refused = handed == HandOffResult::kRefused;
    if (refused || (connections_.size() >= limits_.max_connections && !ReplaceIdle())) {
      // A hand-off refuses at the limit of the loops it hands to, not at this loop's.
      const std::string why = refused ? "the service's connection limit is reached"
                                      : std::to_string(connections_.size()) + " connections open";
      ServiceLogF("%s %s: refused %s: %s", EndpointName(listener.kind),
                  listener.address.ToString().c_str(), socket.peer.c_str(), why.c_str());
      close(fd);
      ++counters_[static_cast<size_t>(listener.kind)].refused;
      continue;
    }
    ++connection_count_;
    Serve(std::move(socket));
  }
}

bool Server::ReplaceIdle() {
  if (!limits_.replace_idle) return false;
  const Connection* oldest = nullptr;
  for (const auto& [id, c] : connections_) {
    if (c->out.pending() > 0 || c->out.close_after_flush() || c->handler->HasMore()) continue;
    if (!oldest || c->last_activity < oldest->last_activity) oldest = c.get();
  }
  if (!oldest) return false;
  const auto idle =
      std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - oldest->last_activity);
  Close(oldest->info.id, CloseCause::kIdle,
        "idle for " + std::to_string(idle.count()) + " s, its place taken by a new connection");
  return true;
}

void Server::Serve(AcceptedSocket socket) {
  auto c = std::make_unique<Connection>();
  c->fd = socket.fd;
  c->info.id = socket.id;
  c->info.kind = socket.kind;
  c->info.peer = std::move(socket.peer);
  c->info.local = std::move(socket.local);
  c->last_activity = Clock::now();
  c->out.set_high_water(limits_.high_water);
  c->handler = factory_(c->info);
  const std::string by = worker_ >= 0 ? " by worker " + std::to_string(worker_) : "";
  ServiceLogF("%s accepted %s on %s%s", c->info.Tag().c_str(), c->info.peer.c_str(),
              c->info.local.c_str(), by.c_str());
  uint64_t id = c->info.id;
  Connection& ref = *c;
  connections_.emplace(id, std::move(c));
  AtomicCounters& counters = counters_[static_cast<size_t>(ref.info.kind)];
  ++counters.open;
  ++counters.total;
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = id;
  ref.interest = EPOLLIN;
  epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, ref.fd, &ev);
  ref.handler->OnOpen(ref.out);
  NoteQueued(ref);
  std::string reason;
  if (!Service(ref, &reason)) {
    Close(id, reason);
    return;
  }
  UpdateInterest(ref);
}

void Server::HandleEvent(Connection& c, uint32_t events) {
  std::string reason;
  uint64_t id = c.info.id;
  if (events & EPOLLOUT) c.write_blocked = false;
  if (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
    if (!ReadInput(c, events, &reason)) {
      Close(id, reason);
      return;
    }
  }
  if (!Service(c, &reason)) {
    Close(id, reason);
    return;
  }
  UpdateInterest(c);
}

bool Server::HandleInput(Connection& c, std::string* reason) {
  size_t consumed = 0;
  if (!c.handler->OnReceive(c.input.data(), c.input_length, &consumed, c.out, reason)) {
    return false;
  }
  consumed = std::min(consumed, c.input_length);
  std::memmove(c.input.data(), c.input.data() + consumed, c.input_length - consumed);
  c.input_length -= consumed;
  NoteQueued(c);
  if (c.input_length > 0 && c.out.full() && !c.handler->HasMore() && !c.held_logged) {
    // Routine while a transfer keeps the outbox full; without one, the client sends requests
    // faster than it reads their replies.
    c.held_logged = true;
    ServiceLogF("%s requests held back: %zu bytes of replies queued, not yet read by the client",
                c.info.Tag().c_str(), c.out.pending());
  }
  return true;
}

void Server::NoteQueued(const Connection& c) {
  std::atomic<uint64_t>& peak = counters_[static_cast<size_t>(c.info.kind)].outbox_peak;
  if (c.out.pending() > peak.load()) peak.store(c.out.pending());  // written by this loop only
}

bool Server::ReadInput(Connection& c, uint32_t events, std::string* reason) {
  while (true) {
    // A client that sends faster than it reads its replies is not read until they drained:
    // what it sent stays in the socket, and the requests read already wait in the input.
    if (c.out.full()) {
      if (!(events & (EPOLLHUP | EPOLLERR))) return true;
      // Both directions are down (we never shut ours): the replies can never be delivered.
      c.cause = CloseCause::kNetworkError;
      *reason = "connection lost with " + std::to_string(c.out.pending()) + " bytes unsent";
      return false;
    }
    if (c.input_length == c.input.size()) {
      if (c.input.size() >= kInputCapacity) {
        c.cause = CloseCause::kTooLarge;
        *reason = "request larger than any frame";
        return false;
      }
      c.input.resize(std::min(c.input.size() * 2, kInputCapacity));
    }
    ssize_t n = recv(c.fd, c.input.data() + c.input_length, c.input.size() - c.input_length, 0);
    if (n == 0) {
      c.cause = CloseCause::kClientClosed;
      *reason = "closed by the client";
      return false;
    }
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
      if (errno == EINTR) continue;
      c.cause = CloseCause::kNetworkError;
      *reason = std::string("receive failed: ") + strerror(errno);
      return false;
    }
    c.input_length += static_cast<size_t>(n);
    c.last_activity = Clock::now();
    if (!HandleInput(c, reason)) return false;
  }
}

// Queues transfer data while the outbox is short of it and writes what may go out.
bool Server::Service(Connection& c, std::string* reason) {
  // The queue of a transfer holds up to the high-water mark and one more append.
  if (c.handler->HasMore()) c.out.Grow(2 * limits_.high_water);
  for (int round = 0; round < kServiceRounds; ++round) {
    while (c.handler->HasMore() && !c.out.close_after_flush() &&
           c.out.pending() < limits_.high_water) {
      if (!c.handler->OnRoom(c.out, reason)) return false;
    }
    NoteQueued(c);
    size_t ready = c.out.ready_length(Clock::now());
    while (ready > 0 && !c.write_blocked) {
      ssize_t n = send(c.fd, c.out.ready_data(), ready, MSG_NOSIGNAL);
      if (n < 0) {
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
          c.write_blocked = true;
          break;
        }
        c.cause = CloseCause::kNetworkError;
        *reason = std::string("send failed: ") + strerror(errno);
        return false;
      }
      c.out.Consume(static_cast<size_t>(n));
      counters_[static_cast<size_t>(c.info.kind)].bytes_sent += static_cast<uint64_t>(n);
      c.last_activity = Clock::now();
      ready = c.out.ready_length(Clock::now());
    }
    if (c.out.pending() == 0 && !c.handler->HasMore()) c.handler->OnAllSent();
    if (c.out.close_after_flush() && c.out.pending() == 0) {
      c.cause = CloseCause::kOnPurpose;
      *reason = c.out.close_reason();
      return false;
    }
    if (c.write_blocked || !c.handler->HasMore() || c.out.close_after_flush()) break;
  }
  // Input held back while the outbox was full may hold complete requests.
  if (c.input_length > 0 && !c.out.full()) {
    if (!HandleInput(c, reason)) return false;
  }
  return true;
}

void Server::UpdateInterest(Connection& c) {
  uint32_t want = 0;
  if (!c.out.full() && !c.out.close_after_flush()) want |= EPOLLIN;
  // Writable interest also while a transfer has more to queue or bytes are ready: the loop then
  // comes back as soon as the socket takes data, in turn with the other connections.
  if (c.write_blocked || c.out.ready_length(Clock::now()) > 0 ||
      (c.handler->HasMore() && !c.out.close_after_flush() &&
       c.out.pending() < limits_.high_water)) {
    want |= EPOLLOUT;
  }
  if (want != c.interest) {
    epoll_event ev{};
    ev.events = want;
    ev.data.u64 = c.info.id;
    epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, c.fd, &ev);
    c.interest = want;
  }
}

void Server::Sweep() {
  Clock::time_point now = Clock::now();
  last_sweep_ = now;
  for (Listener& l : listeners_) {
    if (!l.paused) continue;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kListenerTag | static_cast<uint64_t>(&l - listeners_.data());
    epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, l.fd, &ev);
    l.paused = false;
  }
  std::vector<std::pair<uint64_t, std::string>> to_close;
  for (auto& [id, c] : connections_) {
    auto idle = std::chrono::duration_cast<std::chrono::milliseconds>(now - c->last_activity);
    if (idle.count() >= limits_.idle_timeout_ms && !c->handler->KeepOpenWhenIdle()) {
      c->cause = CloseCause::kIdle;
      to_close.emplace_back(id, "idle for " + std::to_string(idle.count() / 1000) + " s");
      continue;
    }
    // Held replies whose time has come, and transfers waiting for room.
    std::string reason;
    if (c->out.ready_length(now) > 0 || c->handler->HasMore()) {
      if (!Service(*c, &reason)) {
        to_close.emplace_back(id, reason);
        continue;
      }
      UpdateInterest(*c);
    }
  }
  for (auto& [id, reason] : to_close) Close(id, reason);
}

void Server::Close(uint64_t id, const std::string& reason) {
  auto it = connections_.find(id);
  if (it == connections_.end()) return;
  Close(id, it->second->cause, reason);
}

void Server::Close(uint64_t id, CloseCause cause, const std::string& reason) {
  auto it = connections_.find(id);
  if (it == connections_.end()) return;
  Connection& c = *it->second;
  ServiceLogF("%s closed: %s", c.info.Tag().c_str(), reason.c_str());
  c.handler->OnClose(cause, c.out.pending());
  --counters_[static_cast<size_t>(c.info.kind)].open;
  epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, c.fd, nullptr);
  close(c.fd);
  const bool closes_session = c.handler->ClosesSession();
  const std::string host = c.info.peer.substr(0, c.info.peer.rfind(':'));
  connections_.erase(it);
  --connection_count_;
  if (!closes_session) return;
  // The installer's other connections, as the idle time-out would close them later: here, and
  // in the other loops (once, from the connection that started it).
  CloseSession(host);
  if (on_session_closed_ && cause != CloseCause::kSession) on_session_closed_(host);
}

void Server::CloseSession(const std::string& host) {
  std::vector<uint64_t> session;
  for (const auto& [id, c] : connections_) {
    if ((c->info.kind == EndpointKind::kUpdate || c->info.kind == EndpointKind::kDownload) &&
        c->info.peer.substr(0, c->info.peer.rfind(':')) == host) {
      session.push_back(id);
    }
  }
  for (uint64_t id : session) {
    Close(id, CloseCause::kSession, "dropped on purpose with its session");
  }
}
