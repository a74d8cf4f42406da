// TTcp against loopback servers inside the test: connect results, one report per lost
// connection, one receive thread for every connection of the object, the full buffer.
#include "net/tcp.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "net/testing/loopback_peer.h"

namespace {

// Counts what a TTcp reports; consumes received bytes according to `mode`.
class RecordingNotify : public TTcp::TNotify {
 public:
  enum class Mode { kConsumeAll, kConsumeNone, kDrop };

  bool OnConnect(TTcp*) override {
    ++connects;
    return accept_connect;
  }
  void OnDisconnect(TTcp*) override {
    std::lock_guard<std::mutex> guard(lock_);
    ++disconnects;
    changed_.notify_all();
  }
  int OnRecv(TTcp*, const uint8_t* data, uint32_t length) override {
    std::lock_guard<std::mutex> guard(lock_);
    received.append(reinterpret_cast<const char*>(data), length);
    threads.insert(std::this_thread::get_id());
    changed_.notify_all();
    if (mode == Mode::kDrop) return -1;
    return mode == Mode::kConsumeAll ? static_cast<int>(length) : 0;
  }

  bool WaitDisconnects(int count, int timeout_ms = 5000) {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, std::chrono::milliseconds(timeout_ms),
                             [&] { return disconnects >= count; });
  }
  bool WaitReceived(const std::string& text, int timeout_ms = 5000) {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, std::chrono::milliseconds(timeout_ms),
                             [&] { return received.find(text) != std::string::npos; });
  }
  int Disconnects() {
    std::lock_guard<std::mutex> guard(lock_);
    return disconnects;
  }

  Mode mode = Mode::kConsumeAll;
  bool accept_connect = true;
  std::atomic<int> connects{0};
  int disconnects = 0;
  std::string received;
  std::set<std::thread::id> threads;

 private:
  std::mutex lock_;
  std::condition_variable changed_;
};

// A TTcp whose first receive thread the system refuses, as when it has no thread to give.
class TcpWithoutAFirstThread : public TTcp {
 public:
  bool Start() override { return refused_++ > 0 && TTcp::Start(); }

 private:
  int refused_ = 0;
};

class TcpTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(peer_.listening());
    tcp_->SetNotify(&notify_);
  }

  SocketsLibrary sockets_;
  LoopbackPeer peer_;
  RecordingNotify notify_;
  std::unique_ptr<TTcp> tcp_ = std::make_unique<TTcp>();
};

TEST_F(TcpTest, ConnectSendReceiveAndReconnectOnTheSameThread) {
  ASSERT_EQ(tcp_->Connect(kLoopbackAddress, peer_.port()), TTcp::kConnected);
  ASSERT_TRUE(peer_.Accept());
  EXPECT_TRUE(tcp_->IsConnected());
  EXPECT_EQ(notify_.connects, 1);
  EXPECT_TRUE(tcp_->HasThread());
  // An open connection is left alone.
  EXPECT_EQ(tcp_->Connect(kLoopbackAddress, peer_.port()), TTcp::kAlreadyOpen);
  EXPECT_EQ(notify_.connects, 1);

  const uint8_t hello[] = "hello service";
  EXPECT_EQ(tcp_->Send(hello, sizeof hello), 0);
  std::string got;
  ASSERT_TRUE(peer_.ReadExactly(sizeof hello, &got));
  EXPECT_EQ(got, std::string(reinterpret_cast<const char*>(hello), sizeof hello));
  ASSERT_TRUE(peer_.SendRaw("first"));
  ASSERT_TRUE(notify_.WaitReceived("first"));

  // The server drops the connection: reported once, later closes report nothing.
  peer_.Drop();
  ASSERT_TRUE(notify_.WaitDisconnects(1));
  EXPECT_FALSE(tcp_->IsConnected());
  tcp_->Close();
  EXPECT_EQ(tcp_->Send(hello, sizeof hello), 1);
  EXPECT_EQ(notify_.Disconnects(), 1);

  // The same object connects again; the same receive thread serves it.
  ASSERT_EQ(tcp_->Connect(kLoopbackAddress, peer_.port()), TTcp::kConnected);
  ASSERT_TRUE(peer_.Accept());
  ASSERT_TRUE(peer_.SendRaw("second"));
  ASSERT_TRUE(notify_.WaitReceived("second"));
  EXPECT_EQ(notify_.threads.size(), 1u);
  EXPECT_NE(*notify_.threads.begin(), std::this_thread::get_id());

  // A close from this thread reports once and the server sees the end of the stream.
  tcp_->Close();
  tcp_->Close();
  EXPECT_EQ(notify_.Disconnects(), 2);
  EXPECT_TRUE(peer_.WaitClosedByClient());
}

// A connection its notify gives up at once (the first send failed) is no connection at all.
TEST_F(TcpTest, ConnectRefusedByTheNotifyFailsAndReportsOnce) {
  notify_.accept_connect = false;
  EXPECT_EQ(tcp_->Connect(kLoopbackAddress, peer_.port()), TTcp::kConnectFailed);
  EXPECT_EQ(notify_.connects, 1);
  EXPECT_EQ(notify_.Disconnects(), 1);
  EXPECT_FALSE(tcp_->IsConnected());
  ASSERT_TRUE(peer_.Accept());
  EXPECT_TRUE(peer_.WaitClosedByClient());

  // The next connect that the notify keeps is an ordinary one.
  notify_.accept_connect = true;
  ASSERT_EQ(tcp_->Connect(kLoopbackAddress, peer_.port()), TTcp::kConnected);
  EXPECT_TRUE(tcp_->IsConnected());
  EXPECT_EQ(notify_.Disconnects(), 1);
}

TEST_F(TcpTest, RefusedConnectGivesThreeAndOneReport) {
  uint16_t closed_port = 0;
  {
    UniqueSocket probe(OpenListener(kLoopbackAddress, 0, 1, &closed_port));
    ASSERT_TRUE(probe.valid());
  }
  EXPECT_EQ(tcp_->Connect(kLoopbackAddress, closed_port), TTcp::kConnectFailed);
  EXPECT_EQ(notify_.Disconnects(), 1);
  EXPECT_EQ(notify_.connects, 0);
  EXPECT_FALSE(tcp_->IsConnected());
  EXPECT_FALSE(tcp_->HasThread());

  // Text that is not an IPv4 address fails the same way, without an attempt.
  EXPECT_EQ(tcp_->Connect("no.such.host", peer_.port()), TTcp::kConnectFailed);
  EXPECT_EQ(notify_.Disconnects(), 2);
  EXPECT_FALSE(peer_.Accept(200));
}

TEST_F(TcpTest, HandshakeThatNeverCompletesTimesOut) {
  // A listener that never accepts, its queue filled by other connections: further handshakes
  // are not answered.
  LoopbackPeer full(/*backlog=*/0);
  ASSERT_TRUE(full.listening());
  std::vector<UniqueSocket> fillers;
  for (int i = 0; i < 8; ++i) {
    UniqueSocket s(OpenTcpSocket());
    SetBlocking(s.get(), false);
    StartConnect(s.get(), kLoopbackAddress, full.port());
    bool up = WaitConnected(s.get(), 200);
    fillers.push_back(std::move(s));
    if (!up) break;
  }
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(tcp_->Connect(kLoopbackAddress, full.port()), TTcp::kConnectFailed);
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(notify_.Disconnects(), 1);
  // The attempt is given up by the time-out, not by a refusal.
  EXPECT_GE(waited, std::chrono::milliseconds(900));
}

TEST_F(TcpTest, FullBufferWithoutConsumptionClosesTheConnection) {
  notify_.mode = RecordingNotify::Mode::kConsumeNone;
  ASSERT_EQ(tcp_->Connect(kLoopbackAddress, peer_.port()), TTcp::kConnected);
  ASSERT_TRUE(peer_.Accept());
  std::thread sender([&] { peer_.SendRaw(std::string(TcpReceiveBuffer::kSize + 4096, 'x')); });
  EXPECT_TRUE(notify_.WaitDisconnects(1, 20000));
  EXPECT_EQ(notify_.Disconnects(), 1);
  EXPECT_FALSE(tcp_->IsConnected());
  sender.join();
}

TEST_F(TcpTest, NegativeReceiveResultDropsTheConnection) {
  notify_.mode = RecordingNotify::Mode::kDrop;
  ASSERT_EQ(tcp_->Connect(kLoopbackAddress, peer_.port()), TTcp::kConnected);
  ASSERT_TRUE(peer_.Accept());
  ASSERT_TRUE(peer_.SendRaw("junk"));
  EXPECT_TRUE(notify_.WaitDisconnects(1));
  EXPECT_TRUE(peer_.WaitClosedByClient());
  EXPECT_EQ(notify_.Disconnects(), 1);
}

TEST_F(TcpTest, ReceiveThreadThatCannotStartGivesUpTheConnection) {
  tcp_ = std::make_unique<TcpWithoutAFirstThread>();
  tcp_->SetNotify(&notify_);
  EXPECT_EQ(tcp_->Connect(kLoopbackAddress, peer_.port()), TTcp::kConnectFailed);
  EXPECT_EQ(notify_.connects, 1);
  EXPECT_EQ(notify_.Disconnects(), 1);
  EXPECT_FALSE(tcp_->IsConnected());
  ASSERT_TRUE(peer_.Accept());
  EXPECT_TRUE(peer_.WaitClosedByClient());
  // The next attempt starts the thread.
  EXPECT_EQ(tcp_->Connect(kLoopbackAddress, peer_.port()), TTcp::kConnected);
  EXPECT_TRUE(tcp_->HasThread());
}

TEST_F(TcpTest, DestroyingAConnectedTcpEndsItsThread) {
  ASSERT_EQ(tcp_->Connect(kLoopbackAddress, peer_.port()), TTcp::kConnected);
  ASSERT_TRUE(peer_.Accept());
  ASSERT_TRUE(peer_.SendRaw("data"));
  ASSERT_TRUE(notify_.WaitReceived("data"));
  tcp_.reset();  // joins the receive thread; the socket goes without a report
  EXPECT_EQ(notify_.Disconnects(), 0);
  EXPECT_TRUE(peer_.WaitClosedByClient());
}

TEST_F(TcpTest, CloseFromAnotherThreadWhileReceiving) {
  for (int round = 0; round < 20; ++round) {
    ASSERT_EQ(tcp_->Connect(kLoopbackAddress, peer_.port()), TTcp::kConnected);
    ASSERT_TRUE(peer_.Accept());
    std::thread closer([&] { tcp_->Close(); });
    peer_.SendRaw("racing");
    closer.join();
    ASSERT_TRUE(notify_.WaitDisconnects(round + 1));
    EXPECT_EQ(notify_.Disconnects(), round + 1);
  }
}

}  // namespace
