// The connection machinery with a plain line protocol in place of the update protocol: many
// clients at once, a stalled client that holds up nobody and whose memory stays bounded, idle
// time-outs, held replies, refusals that close one connection only, the place of a waiting
// connection taken at the limit, and a clean stop.
#include "service/server.h"

#include <gtest/gtest.h>

#include <poll.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "service/service_log.h"
#include "service/testing/test_socket.h"
#include "test_support/event_log.h"

namespace {

using Clock = std::chrono::steady_clock;

// Input the handler saw but left for the next read: what a test waits on to know that the server
// has read the first part of a request on its own.
struct KeptInput {
  std::string bytes;
};
using KeptInputLog = EventLog<KeptInput, std::string, &KeptInput::bytes>;

// Requests are lines: "echo TEXT", "stream N" (N bytes of a counting pattern), "hold MS TEXT",
// "bye TEXT" (reply, then close), anything else is refused.
class LineHandler : public ConnectionHandler {
 public:
  LineHandler(std::atomic<uint64_t>* produced, KeptInputLog* kept)
      : produced_(produced), kept_(kept) {}

  bool OnReceive(const uint8_t* data, size_t length, size_t* consumed, Outbox& out,
                 std::string* reason) override {
    std::string text(reinterpret_cast<const char*>(data), length);
    size_t start = 0;
    for (size_t end; !out.full() && (end = text.find('\n', start)) != std::string::npos;
         start = end + 1) {
      std::string line = text.substr(start, end - start);
      if (line.rfind("echo ", 0) == 0) {
        Reply(out, line.substr(5));
      } else if (line.rfind("stream ", 0) == 0) {
        stream_left_ = std::stoull(line.substr(7));
      } else if (line.rfind("hold ", 0) == 0) {
        size_t space = line.find(' ', 5);
        out.HoldFrom(Clock::now() + std::chrono::milliseconds(std::stoi(line.substr(5))));
        Reply(out, line.substr(space + 1));
      } else if (line.rfind("bye ", 0) == 0) {
        Reply(out, line.substr(4));
        out.CloseAfterFlush("said bye");
      } else {
        *reason = "unknown request " + line;
        return false;
      }
    }
    *consumed = start;
    if (start < text.size()) kept_->Record({text.substr(start)});
    return true;
  }
  bool OnRoom(Outbox& out, std::string*) override {
    size_t n = static_cast<size_t>(std::min<uint64_t>(stream_left_, 65536));
    std::vector<uint8_t> piece(n);
    for (size_t i = 0; i < n; ++i) piece[i] = static_cast<uint8_t>(sent_ + i);
    out.Append(piece);
    sent_ += n;
    stream_left_ -= n;
    *produced_ += n;
    return true;
  }
  bool HasMore() const override { return stream_left_ > 0; }

 private:
  void Reply(Outbox& out, const std::string& text) {
    std::string line = text + "\n";
    out.Append(reinterpret_cast<const uint8_t*>(line.data()), line.size());
  }
  std::atomic<uint64_t>* produced_;
  KeptInputLog* kept_;
  uint64_t stream_left_ = 0;
  uint64_t sent_ = 0;
};

class ServerTest : public ::testing::Test {
 protected:
  void Start(ServerLimits limits = ServerLimits()) {
    SetServiceLogSink([this](const std::string& line) {
      std::lock_guard<std::mutex> lock(log_mutex_);
      log_.push_back(line);
      log_changed_.notify_all();
    });
    server_ = std::make_unique<Server>(limits, [this](const ConnectionInfo& info) {
      std::lock_guard<std::mutex> lock(log_mutex_);
      return std::make_unique<LineHandler>(&produced_[info.id], &kept_);
    });
    std::string error;
    ASSERT_TRUE(server_->Listen(EndpointKind::kUpdate, {"127.0.0.1", 0}, &error)) << error;
    port_ = server_->bound()[0].port;
    thread_ = std::thread([this] { server_->Run(); });
  }
  void TearDown() override {
    if (thread_.joinable()) {
      server_->Stop();
      thread_.join();
    }
    SetServiceLogSink(nullptr);
  }
  bool LogHas(const std::string& part) {
    std::lock_guard<std::mutex> lock(log_mutex_);
    return LogHasLocked(part);
  }
  bool WaitForLog(const std::string& part) {
    std::unique_lock<std::mutex> lock(log_mutex_);
    return log_changed_.wait_for(lock, std::chrono::seconds(30),
                                 [&] { return LogHasLocked(part); });
  }
  bool LogHasLocked(const std::string& part) {
    for (const std::string& line : log_) {
      if (line.find(part) != std::string::npos) return true;
    }
    return false;
  }

  std::unique_ptr<Server> server_;
  std::thread thread_;
  uint16_t port_ = 0;
  std::mutex log_mutex_;
  std::condition_variable log_changed_;
  std::vector<std::string> log_;
  std::map<uint64_t, std::atomic<uint64_t>> produced_;
  KeptInputLog kept_;
};

// True once `s` has something to read (data or the end of the stream), within `timeout_ms`.
bool Readable(const TestSocket& s, int timeout_ms) {
  pollfd p{s.fd(), POLLIN, 0};
  return poll(&p, 1, timeout_ms) == 1;
}

bool CheckPattern(const std::string& bytes, uint64_t offset) {
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (static_cast<uint8_t>(bytes[i]) != static_cast<uint8_t>(offset + i)) return false;
  }
  return true;
}

}  // namespace

TEST_F(ServerTest, ManyClientsStreamAtOnceWhileOneIsStalled) {
  ServerLimits limits;
  limits.high_water = 128 * 1024;
  Start(limits);
  TestSocket stalled;
  ASSERT_TRUE(stalled.Connect("127.0.0.1", port_));
  ASSERT_TRUE(stalled.Send("stream 1000000000\n"));  // never read

  constexpr int kClients = 16;
  constexpr uint64_t kBytes = 4 << 20;
  std::vector<std::thread> clients;
  std::atomic<int> intact{0};
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back([&] {
      TestSocket s;
      if (!s.Connect("127.0.0.1", port_, 20000) ||
          !s.Send("stream " + std::to_string(kBytes) + "\n")) {
        return;
      }
      std::string data;
      if (s.ReceiveExactly(kBytes, &data) && CheckPattern(data, 0)) ++intact;
    });
  }
  for (auto& t : clients) t.join();
  EXPECT_EQ(intact.load(), kClients);
  // The stalled connection produced only what its socket buffers and the high-water mark hold.
  std::lock_guard<std::mutex> lock(log_mutex_);
  EXPECT_LT(produced_[1].load(), 32u << 20);
  EXPECT_GT(produced_[1].load(), 0u);
}

TEST_F(ServerTest, RefusedRequestClosesOnlyItsConnection) {
  Start();
  TestSocket good, bad;
  ASSERT_TRUE(good.Connect("127.0.0.1", port_));
  ASSERT_TRUE(bad.Connect("127.0.0.1", port_));
  ASSERT_TRUE(bad.Send("nonsense\n"));
  EXPECT_TRUE(bad.WaitClosed());
  ASSERT_TRUE(good.Send("echo still here\n"));
  std::string reply;
  ASSERT_TRUE(good.ReceiveExactly(11, &reply));
  EXPECT_EQ(reply, "still here\n");
  EXPECT_TRUE(LogHas("update#2 closed: unknown request nonsense"));
  EXPECT_TRUE(LogHas("update#1 accepted 127.0.0.1:"));
}

TEST_F(ServerTest, RequestsSplitAcrossReadsAreJoined) {
  Start();
  TestSocket s;
  ASSERT_TRUE(s.Connect("127.0.0.1", port_));
  ASSERT_TRUE(s.Send("ec"));
  // The server has read the first part alone and kept it; the rest comes in a read of its own.
  ASSERT_TRUE(kept_.WaitFor("ec"));
  ASSERT_TRUE(s.Send("ho a\necho b\n"));
  std::string reply;
  ASSERT_TRUE(s.ReceiveExactly(4, &reply));
  EXPECT_EQ(reply, "a\nb\n");
}

TEST_F(ServerTest, HeldReplyWaitsAndCloseAfterFlushDeliversFirst) {
  Start();
  TestSocket s;
  ASSERT_TRUE(s.Connect("127.0.0.1", port_));
  auto start = Clock::now();
  ASSERT_TRUE(s.Send("hold 300 late\n"));
  std::string reply;
  ASSERT_TRUE(s.ReceiveExactly(5, &reply));
  EXPECT_EQ(reply, "late\n");
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(300));

  ASSERT_TRUE(s.Send("bye last words\n"));
  ASSERT_TRUE(s.ReceiveExactly(11, &reply));
  EXPECT_EQ(reply, "last words\n");
  EXPECT_TRUE(s.WaitClosed());
  EXPECT_TRUE(LogHas("closed: said bye"));
}

TEST_F(ServerTest, IdleConnectionsTimeOutButBusyOnesStay) {
  ServerLimits limits;
  limits.idle_timeout_ms = 400;
  Start(limits);
  TestSocket idle, busy;
  const Clock::time_point connecting = Clock::now();
  ASSERT_TRUE(idle.Connect("127.0.0.1", port_));
  ASSERT_TRUE(busy.Connect("127.0.0.1", port_));
  // The busy one talks, never silent for more than a few milliseconds, until the server has
  // closed the idle one; then it must still be served.
  std::string reply;
  while (!Readable(idle, 10)) {
    ASSERT_LT(Clock::now() - connecting, std::chrono::seconds(30)) << "the idle one stayed open";
    ASSERT_TRUE(busy.Send("echo x\n"));
    ASSERT_TRUE(busy.ReceiveExactly(2, &reply));
  }
  EXPECT_TRUE(idle.WaitClosed());
  EXPECT_GE(Clock::now() - connecting, std::chrono::milliseconds(400));
  ASSERT_TRUE(busy.Send("echo y\n"));
  ASSERT_TRUE(busy.ReceiveExactly(2, &reply));
  EXPECT_EQ(reply, "y\n");
  EXPECT_TRUE(LogHas("update#1 closed: idle for"));
  EXPECT_FALSE(LogHas("update#2 closed"));
}

TEST_F(ServerTest, StopClosesEveryConnectionAndReturns) {
  Start();
  TestSocket a, b;
  ASSERT_TRUE(a.Connect("127.0.0.1", port_));
  ASSERT_TRUE(b.Connect("127.0.0.1", port_));
  ASSERT_TRUE(b.Send("stream 100000000\n"));
  // Connections are numbered as they are accepted: the second one's line means both are in.
  ASSERT_TRUE(WaitForLog("update#2 accepted"));
  server_->Stop();
  thread_.join();
  EXPECT_EQ(server_->connection_count(), 0u);
  EXPECT_TRUE(a.WaitClosed());
  EXPECT_TRUE(b.WaitClosed());
  EXPECT_TRUE(LogHas("closed: service stopping"));
  TestSocket late;
  EXPECT_FALSE(late.Connect("127.0.0.1", port_));
}

TEST_F(ServerTest, ListenReportsAddressesInUse) {
  Start();
  Server other(ServerLimits(), nullptr);
  std::string error;
  EXPECT_FALSE(other.Listen(EndpointKind::kQuery, {"127.0.0.1", port_}, &error));
  EXPECT_NE(error.find("cannot listen on 127.0.0.1:"), std::string::npos);
  EXPECT_FALSE(other.Listen(EndpointKind::kQuery, {"300.0.0.1", 1}, &error));
}

TEST_F(ServerTest, MoreConnectionsThanTheLimitAreTurnedAway) {
  ServerLimits limits;
  limits.max_connections = 2;
  Start(limits);
  TestSocket a, b, c;
  ASSERT_TRUE(a.Connect("127.0.0.1", port_));
  ASSERT_TRUE(b.Connect("127.0.0.1", port_));
  ASSERT_TRUE(c.Connect("127.0.0.1", port_));  // the kernel accepts; the service closes it
  EXPECT_TRUE(c.WaitClosed());
  ASSERT_TRUE(a.Send("echo a\n"));
  std::string reply;
  EXPECT_TRUE(a.ReceiveExactly(2, &reply));
  EXPECT_TRUE(LogHas("2 connections open"));
}

TEST_F(ServerTest, AtTheLimitANewConnectionTakesTheOldestWaitingOnesPlace) {
  ServerLimits limits;
  limits.max_connections = 2;
  limits.replace_idle = true;
  Start(limits);
  TestSocket idle, busy;
  ASSERT_TRUE(idle.Connect("127.0.0.1", port_));
  ASSERT_TRUE(busy.Connect("127.0.0.1", port_));
  // A stream never read: its connection has always something to send, so it is never taken
  // for waiting. The echo before it says the stream has begun.
  ASSERT_TRUE(busy.Send("stream 1000000000\necho go\n"));
  std::string reply;
  ASSERT_TRUE(busy.ReceiveExactly(3, &reply));
  ASSERT_EQ(reply, "go\n");

  TestSocket second;
  ASSERT_TRUE(second.Connect("127.0.0.1", port_));
  EXPECT_TRUE(idle.WaitClosed());
  ASSERT_TRUE(second.Send("echo 2\n"));
  ASSERT_TRUE(second.ReceiveExactly(2, &reply));
  EXPECT_EQ(reply, "2\n");
  // The one answered is waiting again, and goes for the next.
  TestSocket third;
  ASSERT_TRUE(third.Connect("127.0.0.1", port_));
  EXPECT_TRUE(second.WaitClosed());
  ASSERT_TRUE(third.Send("echo 3\n"));
  ASSERT_TRUE(third.ReceiveExactly(2, &reply));
  EXPECT_EQ(reply, "3\n");
  EXPECT_TRUE(LogHas("update#1 closed: idle for"));
  EXPECT_TRUE(LogHas("update#3 closed: idle for"));
  EXPECT_TRUE(LogHas("s, its place taken by a new connection"));
  EXPECT_FALSE(LogHas("update#2 closed"));
  EXPECT_FALSE(LogHas("refused"));
  // The stream went on all along.
  ASSERT_TRUE(busy.ReceiveExactly(100000, &reply));
  EXPECT_TRUE(CheckPattern(reply, 0));
}
