// TTcp: connect with a one-second time-out, the receive loop, send and close. The connection
// state sits under one lock, held only for bookkeeping and never across a socket wait or a
// callback, so that the window thread, a sending thread and the receive thread can close the
// same connection and only one of them reports it.
#include "net/tcp.h"

#include <climits>

TTcp::TTcp() { StartSockets(); }

TTcp::~TTcp() {
  StopAndJoin();
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (Lease& lease : leases_) {
      if (lease.socket != kInvalidSocket) CloseSocket(lease.socket);
      lease = Lease{};
    }
    socket_ = kInvalidSocket;
    connected_.store(false);
  }
  StopSockets();
}

TTcp::Lease* TTcp::FindLease(SocketHandle socket) {
  for (Lease& lease : leases_) {
    if (lease.socket == socket) return &lease;
  }
  return nullptr;
}

bool TTcp::AcquireCurrent(SocketHandle* socket, uint64_t* generation) {
  if (socket_ == kInvalidSocket) return false;
  Lease* lease = FindLease(socket_);
  if (lease == nullptr) return false;
  ++lease->users;
  *socket = socket_;
  *generation = generation_;
  return true;
}

void TTcp::ReleaseLease(SocketHandle socket) {
  for (Lease& lease : leases_) {
    if (lease.socket != socket || lease.users == 0) continue;
    if (--lease.users == 0 && lease.retired) {
      CloseSocket(lease.socket);
      lease = Lease{};
    }
    return;
  }
}

bool TTcp::RetireCurrent() {
  if (socket_ == kInvalidSocket) return false;
  SocketHandle s = socket_;
  socket_ = kInvalidSocket;
  connected_.store(false);
  Lease* lease = FindLease(s);
  if (lease != nullptr && lease->users > 0) {
    // Wake whoever waits on it; the last of them closes it.
    lease->retired = true;
    ShutdownSocket(s);
  } else {
    CloseSocket(s);
    if (lease != nullptr) *lease = Lease{};
  }
  return true;
}

void TTcp::ReportDisconnect() {
  if (notify_ != nullptr) notify_->OnDisconnect(this);
}

int TTcp::Connect(const char* address, uint16_t port) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (socket_ != kInvalidSocket || connecting_) return kAlreadyOpen;
    connecting_ = true;
  }
  SocketHandle s = OpenTcpSocket();
  if (s == kInvalidSocket) {
    std::lock_guard<std::mutex> guard(lock_);
    connecting_ = false;
    return kNoSocket;
  }
  SetBlocking(s, false);
  SetConnectionOptions(s);
  bool up = StartConnect(s, address, port) && WaitConnected(s, kConnectTimeoutMs) &&
            SetBlocking(s, true);
  {
    std::lock_guard<std::mutex> guard(lock_);
    connecting_ = false;
    Lease* free_lease = up ? FindLease(kInvalidSocket) : nullptr;
    if (free_lease != nullptr) {
      *free_lease = Lease{s, 0, false};
      socket_ = s;
      ++generation_;
      connected_.store(true);
    } else {
      up = false;
    }
  }
  if (!up) {
    CloseSocket(s);
    connected_.store(false);
    ReportDisconnect();
    return kConnectFailed;
  }
  if (notify_ != nullptr && !notify_->OnConnect(this)) {
    // Already reported if a failed send closed it; Close reports only an open connection.
    Close();
    return kConnectFailed;
  }
  SetStop(false);
  if (!HasThread() && !Start()) {
    // Without a receive thread nothing would ever be read: give the connection up.
    Close();
    return kConnectFailed;
  }
  return kConnected;
}

int TTcp::Send(const uint8_t* data, uint32_t length) {
  SocketHandle s;
  uint64_t generation;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (!AcquireCurrent(&s, &generation)) return 1;
  }
  int sent = length <= INT_MAX ? SendBytes(s, data, static_cast<int>(length)) : -1;
  {
    std::lock_guard<std::mutex> guard(lock_);
    ReleaseLease(s);
  }
  if (sent >= 0 && static_cast<uint32_t>(sent) == length) return 0;
  CloseGeneration(generation);
  return 1;
}

void TTcp::Close() {
  bool closed;
  {
    std::lock_guard<std::mutex> guard(lock_);
    closed = RetireCurrent();
  }
  if (closed) ReportDisconnect();
}

void TTcp::CloseGeneration(uint64_t generation) {
  bool closed;
  {
    std::lock_guard<std::mutex> guard(lock_);
    closed = generation == generation_ && RetireCurrent();
  }
  if (closed) ReportDisconnect();
}

void TTcp::Run() {
  buffer_.Reset();
  while (!StopRequested()) {
    SocketHandle s;
    uint64_t generation;
    bool have;
    {
      std::lock_guard<std::mutex> guard(lock_);
      have = AcquireCurrent(&s, &generation);
    }
    if (!have) {
      buffer_.Reset();
      SleepMilliseconds(100);
      continue;
    }
    if (generation != receive_generation_) {
      // A new connection: nothing of the previous one is carried over.
      buffer_.Reset();
      receive_generation_ = generation;
    }

    bool drop = false;
    bool received = false;
    int ready = WaitReadable(s, 300);
    if (ready < 0 || (ready > 0 && buffer_.Full())) {
      drop = true;
    } else if (ready > 0) {
      // One wait, then everything already queued: each wait is a system call of its own (a
      // round trip to wineserver under Wine), so it is paid per burst, not per receive.
      int n = ReceiveBytes(s, buffer_.FreeSpace(), static_cast<int>(buffer_.FreeLength()));
      while (n > 0) {
        buffer_.Commit(static_cast<uint32_t>(n));
        bytes_received_.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
        received = true;
        n = buffer_.Full() ? 0
                           : ReceiveQueued(s, buffer_.FreeSpace(),
                                           static_cast<int>(buffer_.FreeLength()));
      }
      // An error after data is left to the next wait and receive, so that what came before
      // it is still handed on.
      drop = !received;
    }
    bool current;
    {
      std::lock_guard<std::mutex> guard(lock_);
      ReleaseLease(s);
      current = generation == generation_ && socket_ != kInvalidSocket;
    }
    if (drop) {
      CloseGeneration(generation);
      continue;
    }
    // Data of a connection closed meanwhile is dropped with it.
    if (!received || !current || notify_ == nullptr) continue;

    int used = notify_->OnRecv(this, buffer_.Unconsumed(), buffer_.UnconsumedLength());
    if (used < 0) {
      CloseGeneration(generation);
      continue;
    }
    buffer_.Consume(static_cast<uint32_t>(used));
  }
}
