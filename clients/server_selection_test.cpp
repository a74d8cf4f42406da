// Server selection and the package query against loopback servers inside the test. The probe's
// connect-and-wait step is one of the test's own where the test decides the connect times, since
// on loopback every handshake is instant.
#include "clients/server_selection.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <thread>
#include <vector>

#include "base/coding.h"
#include "base/debug_output.h"
#include "wire/message.h"
#include "net/testing/loopback_peer.h"

namespace {

std::mutex g_debug_lock;
std::string g_debug;

void RecordDebug(const char* text) {
  std::lock_guard<std::mutex> guard(g_debug_lock);
  g_debug += text;
}

std::string DebugText() {
  std::lock_guard<std::mutex> guard(g_debug_lock);
  return g_debug;
}

QueryServers ServersAt(const std::vector<uint16_t>& ports) {
  QueryServers servers{};
  for (size_t i = 0; i < 4; ++i) {
    std::strcpy(servers.Servers[i].Address, kLoopbackAddress);
    servers.Servers[i].Port = ports[i % ports.size()];
  }
  return servers;
}

// The package query reply: a type "1" frame with code 0x5052 and one record whose name field
// holds `name` (NUL-padded unless the name fills it); bytes the installer does not read are
// not zero.
std::string PackageReplyFrame(const std::string& name, char type = '1',
                              uint16_t code = kMsgPackageQueryReply,
                              size_t record_size = kPackageQueryReplyRecordSize) {
  PackageQueryReplyRecord reply;
  SetFieldText(reply.ProductName, name, sizeof reply.ProductName - 1);
  std::string record(kPackageQueryReplyRecordSize, '\0');
  EncodePackageQueryReplyRecord(reply, reinterpret_cast<uint8_t*>(&record[0]));
  const size_t name_end = 11 + 51;
  record.replace(name_end, record.size() - name_end, record.size() - name_end, 'r');
  record.resize(record_size, 'r');
  const std::string message = MakeMessage(code, 0, record, 1, static_cast<uint32_t>(record_size));
  uint8_t header[6];
  header[0] = '#';
  header[1] = static_cast<uint8_t>(type);
  EncodeFixed32(header + 2, static_cast<uint32_t>(message.size()));
  return std::string(reinterpret_cast<char*>(header), 6) + message;
}

// Connect times by server port; a port without an entry stays silent (nothing connects). Records
// the ports it was asked to connect to, in order.
class ScriptedProbe final : public ConnectProbe {
 public:
  explicit ScriptedProbe(std::map<uint16_t, int> latencies) : latencies_(std::move(latencies)) {}

  ProbeResult Connect(SocketHandle socket, const char* address, uint16_t port,
                      int timeout_ms) override {
    probed.push_back(port);
    auto it = latencies_.find(port);
    if (it == latencies_.end()) return {false, 1000};
    ProbeResult real = ConnectAndWait(socket, address, port, timeout_ms);
    return {real.Connected, it->second};
  }

  std::vector<uint16_t> probed;

 private:
  std::map<uint16_t, int> latencies_;
};

class ServerSelectionTest : public testing::Test {
 protected:
  ServerSelectionTest() {
    g_debug.clear();
    SetDebugOutputSink(RecordDebug);
  }
  ~ServerSelectionTest() override { SetDebugOutputSink(nullptr); }
  // The whole step for package 100201 in Simplified Chinese.
  int Fetch(const QueryServers& servers, ConnectProbe* probe = nullptr) {
    return FetchPackageInfo(servers, 0x0804, "100201", &product_name_, probe);
  }

  std::string product_name_ = "left over";
};

// Bytes sent on `socket` arrive at `peer`: the socket is connected to it.
bool ConnectedTo(SocketHandle socket, LoopbackPeer* peer) {
  if (SendBytes(socket, "ping", 4) != 4) return false;
  std::string got;
  return peer->ReadExactly(4, &got, 2000) && got == "ping";
}

TEST_F(ServerSelectionTest, AServerWithin50msEndsTheProbing) {
  std::vector<std::unique_ptr<LoopbackPeer>> peers;
  std::map<uint16_t, int> latencies;
  for (int i = 0; i < 4; ++i) {
    peers.push_back(std::make_unique<LoopbackPeer>());
    latencies[peers.back()->port()] = 30;
  }
  ScriptedProbe probe(latencies);
  UniqueSocket chosen(SelectValidSock(
      ServersAt({peers[0]->port(), peers[1]->port(), peers[2]->port(), peers[3]->port()}),
      &probe));
  ASSERT_TRUE(chosen.valid());
  ASSERT_EQ(probe.probed.size(), 1u);
  for (auto& peer : peers) {
    if (peer->port() == probe.probed[0]) {
      ASSERT_TRUE(peer->Accept(2000));
      EXPECT_TRUE(ConnectedTo(chosen.get(), peer.get()));
    } else {
      EXPECT_FALSE(peer->Accept(100)) << "contacted " << peer->port();
    }
  }
  EXPECT_NE(DebugText().find(std::string(kLoopbackAddress) + "Socket : 30\r\n"),
            std::string::npos);
}

TEST_F(ServerSelectionTest, TheQuickestOfFourIsKeptAndTheOthersClosed) {
  LoopbackPeer slow, quick, slowest, silent;
  ScriptedProbe probe({{slow.port(), 120}, {quick.port(), 80}, {slowest.port(), 300}});
  UniqueSocket chosen(SelectValidSock(
      ServersAt({slow.port(), quick.port(), slowest.port(), silent.port()}), &probe));
  ASSERT_TRUE(chosen.valid());
  EXPECT_EQ(probe.probed.size(), 4u);
  ASSERT_TRUE(quick.Accept(2000));
  EXPECT_TRUE(ConnectedTo(chosen.get(), &quick));
  for (LoopbackPeer* closed : {&slow, &slowest}) {
    ASSERT_TRUE(closed->Accept(2000));
    EXPECT_TRUE(closed->WaitClosedByClient(2000));
  }
  EXPECT_FALSE(silent.Accept(100));
  const std::string debug = DebugText();
  for (const char* line : {"Socket : 120\r\n", "Socket : 80\r\n", "Socket : 300\r\n",
                           "Socket : 1000\r\n"}) {
    EXPECT_NE(debug.find(line), std::string::npos) << line;
  }
}

TEST_F(ServerSelectionTest, NoServerWithinOneSecond) {
  LoopbackPeer a, b;
  ScriptedProbe probe({});
  EXPECT_EQ(SelectValidSock(ServersAt({a.port(), b.port()}), &probe), kInvalidSocket);
  EXPECT_EQ(Fetch(ServersAt({a.port(), b.port()}), &probe), 0);
  EXPECT_EQ(probe.probed.size(), 8u);
  EXPECT_NE(DebugText().find("SelectValidSock INVALID_SOCKET\r\n"), std::string::npos);
  EXPECT_EQ(product_name_, "");
}

TEST_F(ServerSelectionTest, RealProbeSkipsRefusedServers) {
  LoopbackPeer live;
  uint16_t refused_ports[3];
  for (uint16_t& port : refused_ports) {
    LoopbackPeer gone;  // its port is free again once it goes
    port = gone.port();
  }
  UniqueSocket chosen(SelectValidSock(
      ServersAt({refused_ports[0], live.port(), refused_ports[1], refused_ports[2]})));
  ASSERT_TRUE(chosen.valid());
  ASSERT_TRUE(live.Accept(2000));
  EXPECT_TRUE(ConnectedTo(chosen.get(), &live));
}

// Serves one package query on `peer`: checks nothing, answers with `reply` in pieces of
// `piece` bytes, a short pause between them. The request is kept for the test to check.
class QueryServer {
 public:
  QueryServer(LoopbackPeer* peer, std::string reply, size_t piece = 0)
      : thread_([=] {
          if (!peer->Accept(5000)) return;
          peer->ReadExactly(kPackageQueryFrameSize, &request_, 5000);
          const size_t step = piece == 0 ? reply.size() : piece;
          for (size_t at = 0; at < reply.size(); at += step) {
            peer->SendRaw(reply.substr(at, step));
            std::this_thread::sleep_for(std::chrono::milliseconds(piece == 0 ? 0 : 20));
          }
          peer->WaitClosedByClient(5000);
        }) {}
  ~QueryServer() { Join(); }
  void Join() {
    if (thread_.joinable()) thread_.join();
  }
  const std::string& request() {
    Join();
    return request_;
  }

 private:
  std::string request_;
  std::thread thread_;
};

TEST_F(ServerSelectionTest, PackageQueryRequestAndAReplyInPieces) {
  LoopbackPeer peer;
  const std::string name = "\xE5\xB2\x9A\xE8\x88\x9F\xE7\xBB\x88\xE7\xAB\xAF";  // UTF-8
  QueryServer server(&peer, PackageReplyFrame(name), /*piece=*/200);
  EXPECT_EQ(Fetch(ServersAt({peer.port()})), 1);
  EXPECT_EQ(product_name_, "\xE1\xB0\xD6\xDB\xD6\xD5\xB6\xCB");  // GBK

  const std::string& request = server.request();
  ASSERT_EQ(request.size(), 115u);
  const uint8_t head[21] = {0x23, 0x31, 0x6D, 0, 0, 0, 3, 0, 0, 0, 0,
                            0,    0x51, 0x50, 0x30, 1, 0, 0x23, 0, 0, 0};
  EXPECT_EQ(request.substr(0, 21), std::string(reinterpret_cast<const char*>(head), 21));
  EXPECT_EQ(request.substr(21, 59), std::string(59, '\0'));
  EXPECT_EQ(request.substr(80), std::string("W\x04\x08", 3) + "100201" + std::string(5, '\0') +
                                    "quillbank v9.3" + std::string(7, '\0'));
}

TEST_F(ServerSelectionTest, NameIsCutToFiftyBytes) {
  LoopbackPeer peer;
  // 51 bytes and no NUL in the field.
  QueryServer server(&peer, PackageReplyFrame(std::string(51, 'n')));
  EXPECT_EQ(Fetch(ServersAt({peer.port()})), 1);
  EXPECT_EQ(product_name_, std::string(50, 'n'));
}

TEST_F(ServerSelectionTest, RepliesThatAreNotAPackageReply) {
  struct Case {
    const char* what;
    std::string reply;
  };
  std::string too_long = PackageReplyFrame("x");
  EncodeFixed32(reinterpret_cast<uint8_t*>(&too_long[2]), 131067);
  const Case cases[] = {
      {"frame type 2", PackageReplyFrame("x", '2')},
      {"another code", PackageReplyFrame("x", '1', 0x5053)},
      {"record cut short", PackageReplyFrame("x", '1', kMsgPackageQueryReply, 562)},
      {"payload past the buffer", too_long},
      {"no frame start", "!" + PackageReplyFrame("x").substr(1)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    g_debug.clear();
    product_name_ = "left over";
    LoopbackPeer peer;
    QueryServer server(&peer, c.reply);
    EXPECT_EQ(Fetch(ServersAt({peer.port()})), 0);
    EXPECT_NE(DebugText().find("AcquirePackage Error\r\n"), std::string::npos);
    EXPECT_EQ(product_name_, "");
  }
}

}  // namespace
