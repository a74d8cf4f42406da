// The receive path without sockets: frames of every type through ParseFrames, the discard rules,
// split delivery through the receive buffer, and routing by message code.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/coding.h"
#include "net/frame_codec.h"
#include "wire/message.h"
#include "net/protocol.h"
#include "net/tcp_receive_buffer.h"
#include "net/testing/loopback_peer.h"
#include "net/testing/process_client_peer.h"

namespace {

const char kReceiveKey[] = "receive-key-0123";

class ParseFramesTest : public testing::Test {
 protected:
  void SetUp() override {
    ProcessClientPeer::NewConnection(client_);
    receive_ = KeyedContext(kReceiveKey);
    fixed_ = KeyedContext(kBuiltInKey);
    // The receive session key as a successful authentication link would install it.
    Deliver(MakeAuthentLinkResponse(0, "send", 0, kReceiveKey));
  }

  static const uint8_t* Bytes(const std::string& s) {
    return reinterpret_cast<const uint8_t*>(s.data());
  }
  Protocol* session() { return ProcessClientPeer::session(client_); }
  void Deliver(const std::string& message) {
    session()->Dispatch(Bytes(message), static_cast<uint32_t>(message.size()));
  }
  int Parse(const std::string& data) {
    return session()->ParseFrames(Bytes(data), static_cast<uint32_t>(data.size()));
  }
  std::string Frame(const std::string& message, char type) {
    const CipherContext* context = (type == '3' || type == '4') ? &fixed_ : &receive_;
    return MakeFrame(message, type, context);
  }
  std::vector<std::string> Messages() {
    std::vector<std::string> out;
    for (const auto& e : client_.Events()) {
      if (e.kind == "message") out.push_back(e.bytes);
    }
    return out;
  }

  RecordingClient client_;
  CipherContext receive_;
  CipherContext fixed_;
};

std::string Payload(uint16_t code, size_t extra, char fill) {
  return MakeMessage(code, 0, std::string(extra, fill), 1, static_cast<uint32_t>(extra));
}

TEST_F(ParseFramesTest, EveryFrameTypeDecodes) {
  std::string stream;
  std::vector<std::string> sent;
  for (char type = '1'; type <= '6'; ++type) {
    sent.push_back(Payload(0x3052, 100 + type, type));
    stream += Frame(sent.back(), type);
  }
  EXPECT_EQ(Parse(stream), static_cast<int>(stream.size()));
  EXPECT_EQ(Messages(), sent);
}

TEST_F(ParseFramesTest, IncompleteFramesStayInTheBuffer) {
  std::string a = Frame(Payload(0x3062, 10, 'a'), '6');
  std::string b = Frame(Payload(0x3062, 20, 'b'), '1');
  std::string c = Frame(Payload(0x3062, 30, 'c'), '6');
  EXPECT_EQ(Parse(a + b + c.substr(0, 3)), static_cast<int>(a.size() + b.size()));
  EXPECT_EQ(Messages().size(), 2u);

  // Six header bytes announcing ten: nothing to take yet.
  std::string header("#1\x0A\0\0\0", 6);
  EXPECT_EQ(Parse(header), 0);
  EXPECT_EQ(Parse(header.substr(0, 5)), 0);
  EXPECT_EQ(Messages().size(), 2u);
}

TEST_F(ParseFramesTest, UndecodableStreamsAreDiscardedWhole) {
  std::string good = Frame(Payload(0x3052, 10, 'g'), '6');
  std::string type7 = Frame(Payload(0x3052, 10, 'x'), '1');
  type7[1] = '7';
  std::string zero("#1\0\0\0\0", 6);
  std::string too_long("#1\0\0\x02\0", 6);  // 0x20000
  std::string bad_start = "?" + good.substr(1);
  std::string not_lzo = Frame(Payload(0x3052, 40, 'z'), '1');
  not_lzo[1] = '2';
  for (const std::string& bad : {type7, zero, too_long, bad_start, not_lzo}) {
    std::string stream = bad + good + good;
    EXPECT_EQ(Parse(stream), static_cast<int>(stream.size()));
  }
  EXPECT_TRUE(Messages().empty());
  // The frames before the bad one were dispatched.
  std::string stream = good + type7 + good;
  EXPECT_EQ(Parse(stream), static_cast<int>(stream.size()));
  EXPECT_EQ(Messages().size(), 1u);
}

TEST_F(ParseFramesTest, ShortMessagesAreSkippedAndParsingGoesOn) {
  std::string shortest = Frame(std::string(73, '\x01'), '1');
  std::string empty_message = Frame(std::string(5, 'q'), '6');
  std::string good = Frame(Payload(0x3072, 3, 'g'), '6');
  std::string stream = shortest + empty_message + good;
  EXPECT_EQ(Parse(stream), static_cast<int>(stream.size()));
  ASSERT_EQ(Messages().size(), 1u);
  EXPECT_EQ(Messages()[0], Payload(0x3072, 3, 'g'));
}

// Feeds `chunks` through a receive buffer the way the receive loop does.
std::vector<std::string> FeedThroughBuffer(Protocol* session, RecordingClient* client,
                                           TcpReceiveBuffer* buffer,
                                           const std::vector<std::string>& chunks) {
  size_t before = client->Events().size();
  buffer->Reset();
  for (const std::string& chunk : chunks) {
    EXPECT_LE(chunk.size(), buffer->FreeLength());
    memcpy(buffer->FreeSpace(), chunk.data(), chunk.size());
    buffer->Commit(static_cast<uint32_t>(chunk.size()));
    int used = session->ParseFrames(buffer->Unconsumed(), buffer->UnconsumedLength());
    buffer->Consume(static_cast<uint32_t>(used));
  }
  std::vector<std::string> out;
  auto events = client->Events();
  for (size_t i = before; i < events.size(); ++i) out.push_back(events[i].bytes);
  return out;
}

TEST_F(ParseFramesTest, SplitAtEveryByteBoundaryDecodesTheSame) {
  std::string stream;
  for (char type = '1'; type <= '6'; ++type) stream += Frame(Payload(0x3072, 50, type), type);
  auto buffer = std::make_unique<TcpReceiveBuffer>();
  std::vector<std::string> whole = FeedThroughBuffer(session(), &client_, buffer.get(), {stream});
  ASSERT_EQ(whole.size(), 6u);
  for (size_t cut = 0; cut <= stream.size(); ++cut) {
    auto split = FeedThroughBuffer(session(), &client_, buffer.get(),
                                   {stream.substr(0, cut), stream.substr(cut)});
    ASSERT_EQ(split, whole) << "cut at " << cut;
    EXPECT_EQ(buffer->filled(), 0u);
  }
  // Three pieces as well, including empty ones.
  for (size_t cut = 0; cut + 7 <= stream.size(); cut += 7) {
    auto split = FeedThroughBuffer(session(), &client_, buffer.get(),
                                   {stream.substr(0, cut), stream.substr(cut, 7),
                                    stream.substr(cut + 7)});
    ASSERT_EQ(split, whole) << "pieces at " << cut;
  }
}

TEST(TcpReceiveBufferTest, ConsumptionEmptiesMovesOrWaits) {
  auto buffer = std::make_unique<TcpReceiveBuffer>();
  memset(buffer->FreeSpace(), 'a', 1000);
  buffer->Commit(1000);
  buffer->Consume(400);  // partial data waits at its place
  EXPECT_EQ(buffer->consumed(), 400u);
  EXPECT_EQ(buffer->filled(), 1000u);
  buffer->Consume(600);  // everything used: starts over
  EXPECT_EQ(buffer->consumed(), 0u);
  EXPECT_EQ(buffer->filled(), 0u);

  // Past the threshold the rest moves to the start.
  memset(buffer->FreeSpace(), 'b', TcpReceiveBuffer::kCompactThreshold);
  buffer->Commit(TcpReceiveBuffer::kCompactThreshold);
  memcpy(buffer->FreeSpace(), "tail", 4);
  buffer->Commit(4);
  buffer->Consume(TcpReceiveBuffer::kCompactThreshold);
  EXPECT_EQ(buffer->consumed(), 0u);
  ASSERT_EQ(buffer->filled(), 4u);
  EXPECT_EQ(0, memcmp(buffer->Unconsumed(), "tail", 4));

  // Counts beyond what is there are clamped.
  buffer->Consume(100);
  EXPECT_EQ(buffer->filled(), 0u);
  buffer->Commit(TcpReceiveBuffer::kSize + 5);
  EXPECT_TRUE(buffer->Full());
  EXPECT_EQ(buffer->FreeLength(), 0u);
}

TEST_F(ParseFramesTest, DispatchRoutesByCode) {
  auto send = [&](const std::string& m) { Deliver(m); };
  send(MakeMessage(kMsgLoginResponse, 0, std::string(51, 'L'), 1, 51));
  send(MakeMessage(kMsgLoginResponse, 7));
  send(MakeMessage(kMsgSessionNotice, 12));
  send(MakeMessage(kMsgAuthentLinkRequest, 0));
  send(MakeMessage(kMsgLoginRequest, 0));
  send(MakeMessage(0x7777, 0));
  send(MakeMessage(kMsgHeartbeatAnswer, 0));  // reaches no client
  send(std::string(73, '\0'));  // shorter than the header: nothing

  auto events = client_.Events();
  // SetUp's authentication link response comes first.
  ASSERT_EQ(events.size(), 7u);
  EXPECT_EQ(events[0].kind, "authent-link");
  EXPECT_EQ(events[1].kind, "login");
  EXPECT_EQ(events[1].code, 0);
  EXPECT_EQ(events[1].bytes, std::string(51, 'L'));
  EXPECT_EQ(events[2].kind, "login");
  EXPECT_EQ(events[2].code, 7);
  EXPECT_EQ(events[2].bytes, "");  // no records: nothing readable behind the header
  EXPECT_EQ(events[3].kind, "notice");
  EXPECT_EQ(events[3].code, 12);
  for (int i = 4; i < 7; ++i) EXPECT_EQ(events[i].kind, "message");
  EXPECT_EQ(DecodeFixed16(Bytes(events[4].bytes) + kMessageCodeOffset), kMsgAuthentLinkRequest);
  EXPECT_EQ(DecodeFixed16(Bytes(events[5].bytes) + kMessageCodeOffset), kMsgLoginRequest);
}

TEST_F(ParseFramesTest, AuthentLinkResponseInstallsKeysOnlyOnSuccess) {
  const FrameCodec& codec = session()->codec();
  auto send = [&](const std::string& m) { Deliver(m); };
  send(MakeAuthentLinkResponse(0, "ABCDEFGHIJKLMNOPQRST", 30, "abcde"));
  EXPECT_EQ(0, memcmp(codec.send_context().key(), "ABCDEFGHIJKLMNOP", 16));
  // The receive context was keyed in SetUp; its bytes past the five new ones stay.
  EXPECT_EQ(0, memcmp(codec.receive_context().key(), "abcde", 5));
  EXPECT_EQ(0, memcmp(codec.receive_context().key() + 5, kReceiveKey + 5, 11));

  send(MakeAuthentLinkResponse(5, "zzzz", 99, "yyyy"));
  EXPECT_EQ(0, memcmp(codec.send_context().key(), "ABCDEFGHIJKLMNOP", 16));

  // A success too short to hold the receive key is refused whole.
  std::string cut = MakeAuthentLinkResponse(0, "1111", 1, "2222").substr(0, kAuthentReceiveKeyOffset);
  send(cut);
  EXPECT_EQ(0, memcmp(codec.send_context().key(), "ABCDEFGHIJKLMNOP", 16));

  auto events = client_.Events();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[1].code, 0);
  EXPECT_EQ(events[2].kind, "authent-link");
  EXPECT_EQ(events[2].code, 5);
}

TEST(FreshSessionTest, FiveCharacterKeyIsZeroPadded) {
  RecordingClient client;
  ProcessClientPeer::NewConnection(client);
  std::string m = MakeAuthentLinkResponse(0, "s1234", 0, "abcde");
  ProcessClientPeer::session(client)->Dispatch(reinterpret_cast<const uint8_t*>(m.data()), static_cast<uint32_t>(m.size()));
  const uint8_t expected[16] = {'a', 'b', 'c', 'd', 'e'};
  EXPECT_EQ(0, memcmp(ProcessClientPeer::session(client)->codec().receive_context().key(), expected, 16));
  const uint8_t expected_send[16] = {'s', '1', '2', '3', '4'};
  EXPECT_EQ(0, memcmp(ProcessClientPeer::session(client)->codec().send_context().key(), expected_send, 16));
}

}  // namespace
