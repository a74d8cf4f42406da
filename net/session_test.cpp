// A whole connection end against a loopback server inside the test: the opening exchange byte
// for byte, routing of what the server sends, the send path's frame types, the lost connection,
// and the client's log line of every connect attempt.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "base/coding.h"
#include "core/install_context.h"
#include "core/install_log.h"
#include "net/protocol.h"
#include "net/testing/loopback_peer.h"
#include "net/testing/process_client_peer.h"
#include "test_support/temp_dir.h"
#include "wire/lzo_compress.h"

namespace {

const CipherContext kZero;

AccountRecord Kivor() {
  AccountRecord record;
  std::strcpy(record.UserName, "kivor");
  std::strcpy(record.Password, "kivor");
  return record;
}

uint16_t Code(const std::string& message) {
  return DecodeFixed16(reinterpret_cast<const uint8_t*>(message.data()) + kMessageCodeOffset);
}

class SessionTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(peer_.listening());
    ProcessClientPeer::NewConnection(client_);
  }

  Protocol* session() { return ProcessClientPeer::session(client_); }

  // Connects and reads the authentication link request.
  void ConnectAndLink(std::string* request = nullptr) {
    AccountRecord record = Kivor();
    ASSERT_TRUE(session()->Connect(kLoopbackAddress, peer_.port(), &record));
    ASSERT_TRUE(peer_.Accept());
    char type = 0;
    std::string message;
    ASSERT_TRUE(peer_.ReadMessage(fixed_, kZero, &type, &message));
    EXPECT_EQ(type, '4');
    if (request != nullptr) *request = message;
  }

  LoopbackPeer peer_;
  RecordingClient client_;
  CipherContext fixed_ = KeyedContext(kBuiltInKey);
};

TEST_F(SessionTest, OpeningExchangeAndRouting) {
  client_.on_authent_link = [&](int32_t error) {
    if (error == 0) session()->SendLogin();
  };
  std::string request;
  ConnectAndLink(&request);

  // The authentication link request, exactly.
  std::string expected(kAuthentLinkRequestSize, '\0');
  const char start[] = "\x00\x00\x00\x00\x00\x00\x01\x00\x30\x01\x00\x2D\x00\x00\x00";
  expected.replace(0, 15, start, 15);
  expected.replace(86, 19, "81?3tuv-jkl%2abc$57");
  EXPECT_EQ(request, expected);

  // Keys: the first 16 of a 20-character send key, a 5-character receive key zero-padded.
  ASSERT_TRUE(peer_.SendMessage(MakeAuthentLinkResponse(0, "ABCDEFGHIJKLMNOPQRST", 30, "abcde"),
                                '4', &fixed_));
  ASSERT_TRUE(client_.WaitFor("authent-link"));
  EXPECT_EQ(client_.Events()[0].code, 0);

  // The login under the send key: 147 bytes, type "6".
  CipherContext send_key = KeyedContext("ABCDEFGHIJKLMNOP");
  char type = 0;
  std::string login;
  ASSERT_TRUE(peer_.ReadMessage(fixed_, send_key, &type, &login));
  EXPECT_EQ(type, '6');
  ASSERT_EQ(login.size(), 147u);
  MessageHeader header;
  ASSERT_TRUE(DecodeMessageHeader(reinterpret_cast<const uint8_t*>(login.data()), login.size(),
                                  &header));
  EXPECT_EQ(header.Code, kMsgLoginRequest);
  EXPECT_EQ(header.Chain, '0');
  EXPECT_EQ(header.RecordCount, 1);
  EXPECT_EQ(header.RecordSize, 73u);
  EXPECT_STREQ(header.UserName, "kivor");
  EXPECT_EQ(header.ErrorCode, 0);
  uint8_t account[kAccountRecordSize];
  EncodeAccountRecord(Kivor(), account);
  EXPECT_EQ(0, memcmp(login.data() + 74, account, sizeof account));
  EXPECT_EQ(login.substr(0, 2), std::string(2, '\0'));

  // What the server sends, under the receive key, in every frame type.
  std::string padded("abcde\0\0\0\0\0\0\0\0\0\0\0", 16);
  CipherContext receive_key = KeyedContext(padded);
  ASSERT_TRUE(peer_.SendMessage(MakeMessage(kMsgLoginResponse, 0, std::string(51, 'R'), 1, 51),
                                '6', &receive_key));
  ASSERT_TRUE(peer_.SendMessage(MakeMessage(kMsgSessionNotice, 4), '5', &receive_key));
  ASSERT_TRUE(peer_.SendMessage(MakeMessage(kMsgAuthentLinkRequest, 0), '3', &fixed_));
  ASSERT_TRUE(peer_.SendMessage(MakeMessage(kMsgLoginRequest, 0), '1', nullptr));
  ASSERT_TRUE(peer_.SendMessage(MakeMessage(kMsgPkgUpdateCheckRsp, 0), '2', nullptr));
  ASSERT_TRUE(peer_.SendMessage(MakeMessage(kMsgHeartbeatAnswer, 0), '6', &receive_key));
  ASSERT_TRUE(peer_.SendMessage(MakeMessage(kMsgFileDownloadRsp, 0), '6', &receive_key));
  ASSERT_TRUE(client_.WaitFor("message", 4));
  auto events = client_.Events();
  ASSERT_EQ(events.size(), 7u);  // the heartbeat answer reaches no client
  EXPECT_EQ(events[1].kind, "login");
  EXPECT_EQ(events[1].bytes, std::string(51, 'R'));
  EXPECT_EQ(events[2].kind, "notice");
  EXPECT_EQ(events[2].code, 4);
  EXPECT_EQ(Code(events[3].bytes), kMsgAuthentLinkRequest);
  EXPECT_EQ(Code(events[4].bytes), kMsgLoginRequest);
  EXPECT_EQ(Code(events[5].bytes), kMsgPkgUpdateCheckRsp);
  EXPECT_EQ(Code(events[6].bytes), kMsgFileDownloadRsp);

  // The server goes away: one report with the GBK text and code 9.
  peer_.Drop();
  ASSERT_TRUE(client_.WaitFor("disconnect"));
  session()->Close();
  EXPECT_EQ(client_.Count("disconnect"), 1u);
  EXPECT_EQ(client_.Events().back().bytes, "\xB4\xFA\xC0\xED\xB4\xED\xCE\xF3");
  EXPECT_EQ(client_.Events().back().code, 9);
  EXPECT_FALSE(session()->IsConnected());
}

TEST_F(SessionTest, SendFrameTypes) {
  ConnectAndLink();
  std::string message = MakeMessage(kMsgQryCheckUpdate, 0, "100201", 1, 19) + std::string(13, '\0');
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(message.data());

  // Type "6" before any session key: the zero send key leaves the tail bytes as compressed.
  ASSERT_TRUE(session()->Send(bytes, message.size(), '6'));
  std::string frame;
  ASSERT_TRUE(peer_.ReadFrame(&frame));
  EXPECT_EQ(frame.substr(0, 2), "#6");
  uint8_t compressed[kCompressBufferSize];
  size_t packed = Compress(bytes, message.size(), compressed);
  ASSERT_EQ(frame.size(), packed + 6);
  size_t tail = packed % 8;
  ASSERT_NE(tail, 0u) << "choose a message whose compressed form has a tail";
  EXPECT_EQ(0, memcmp(frame.data() + 6 + packed - tail, compressed + packed - tail, tail));

  // Any type but "4" and "5" is sent as "6".
  ASSERT_TRUE(session()->Send(bytes, message.size(), '3'));
  char type = 0;
  std::string got;
  ASSERT_TRUE(peer_.ReadMessage(fixed_, kZero, &type, &got));
  EXPECT_EQ(type, '6');
  EXPECT_EQ(got, message);

  // Type "5": enciphered, not compressed.
  ASSERT_TRUE(session()->Send(bytes, message.size(), '5'));
  ASSERT_TRUE(peer_.ReadFrame(&frame));
  EXPECT_EQ(frame.substr(0, 2), "#5");
  EXPECT_EQ(DecodeFixed32(reinterpret_cast<const uint8_t*>(frame.data()) + 2), message.size());

  // Refused without sending anything: no message, a message too large for one frame.
  EXPECT_FALSE(session()->Send(nullptr, 10, '6'));
  std::string huge(kMaxMessageSize + 1, 'h');
  EXPECT_FALSE(session()->Send(reinterpret_cast<const uint8_t*>(huge.data()), huge.size(), '6'));
  ASSERT_TRUE(session()->Send(bytes, message.size(), '4'));
  ASSERT_TRUE(peer_.ReadMessage(fixed_, kZero, &type, &got));
  EXPECT_EQ(type, '4');
  EXPECT_EQ(got, message);

  // Not connected: false.
  session()->Close();
  EXPECT_FALSE(session()->Send(bytes, message.size(), '6'));
  EXPECT_EQ(client_.Count("disconnect"), 1u);
}

// The client writes each attempt to the install log once it is over, with the address and port
// the connection kept; without a record nothing is attempted, without a port the attempt fails.
TEST_F(SessionTest, ConnectLogsEveryAttempt) {
  TempDir dir;
  ASSERT_TRUE(OpenInstallLog(dir.path()));
  EXPECT_FALSE(client_.Connect(kLoopbackAddress, peer_.port(), nullptr));
  EXPECT_FALSE(peer_.Accept(300));
  EXPECT_EQ(client_.Count("disconnect"), 0u);
  AccountRecord record = Kivor();
  EXPECT_FALSE(client_.Connect(kLoopbackAddress, 0, &record));
  EXPECT_EQ(client_.Count("disconnect"), 1u);
  EXPECT_TRUE(client_.Connect(kLoopbackAddress, peer_.port(), &record));
  CloseInstallLog();
  std::string line = "SocketSend_ip:127.0.0.1__port:" + std::to_string(peer_.port()) + "\r\n";
  EXPECT_EQ(ReadFileBytes(dir.Join("log\\install.log")),
            line + "SocketSend_ip:__port:0\r\n" + line);
  uint8_t account[kAccountRecordSize];
  EncodeAccountRecord(record, account);
  EXPECT_EQ(0, memcmp(session()->account(), account, sizeof account));
}

// A successful link reply too short to hold the receive key leaves no usable session: the
// connection is closed at once and the client hears of it as lost, not as linked.
TEST_F(SessionTest, LinkReplyWithoutRoomForTheKeysClosesTheConnection) {
  ConnectAndLink();
  std::string reply = MakeAuthentLinkResponse(0, "ABCDEFGHIJKLMNOP", 30, "abcde");
  ASSERT_GT(reply.size(), kAuthentReceiveKeyOffset);
  reply.resize(kAuthentReceiveKeyOffset);  // 115 bytes
  ASSERT_TRUE(peer_.SendMessage(reply, '4', &fixed_));
  ASSERT_TRUE(client_.WaitFor("disconnect"));
  EXPECT_TRUE(peer_.WaitClosedByClient());
  EXPECT_EQ(client_.Count("authent-link"), 0u);

  // One byte more reaches the receive key's place: linked.
  AccountRecord record = Kivor();
  ASSERT_TRUE(session()->Connect(kLoopbackAddress, peer_.port(), &record));
  ASSERT_TRUE(peer_.Accept());
  char type = 0;
  std::string request;
  ASSERT_TRUE(peer_.ReadMessage(fixed_, kZero, &type, &request));
  reply = MakeAuthentLinkResponse(0, "ABCDEFGHIJKLMNOP", 30, "abcde");
  reply.resize(kAuthentReceiveKeyOffset + 1);
  ASSERT_TRUE(peer_.SendMessage(reply, '4', &fixed_));
  ASSERT_TRUE(client_.WaitFor("authent-link"));
  EXPECT_EQ(client_.Count("disconnect"), 1u);
}

TEST_F(SessionTest, AddressTextIsCutToFifteenCharactersAndNeedsAPort) {
  EXPECT_FALSE(session()->Connect("127.000.000.0011", 99, nullptr));
  EXPECT_STREQ(session()->server_address(), "127.000.000.001");
  EXPECT_EQ(session()->server_port(), 99);
  EXPECT_FALSE(session()->Connect("127.0.0.1", 0, nullptr));
  EXPECT_STREQ(session()->server_address(), "");
  EXPECT_EQ(session()->server_port(), 0);
}

TEST_F(SessionTest, ANewConnectionLeavesTheOldOneWorking) {
  ConnectAndLink();
  Protocol* first = session();
  ProcessClientPeer::NewConnection(client_);
  EXPECT_NE(session(), first);
  AccountRecord record = Kivor();
  ASSERT_TRUE(session()->Connect(kLoopbackAddress, peer_.port(), &record));
  // The first connection is still served by its own object.
  EXPECT_TRUE(first->IsConnected());
  first->Close();
  EXPECT_EQ(client_.Count("disconnect"), 1u);
  EXPECT_TRUE(session()->IsConnected());
}

}  // namespace
