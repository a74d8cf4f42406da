// The socket seam's receive of what is already queued, in both builds: it never waits, takes
// what has arrived, and leaves the end of the stream to the next wait and receive.
#include "net/socket_ops.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(SocketOpsTest, ReceiveQueuedTakesWhatHasArrivedWithoutWaiting) {
  SocketsLibrary sockets;
  uint16_t port = 0;
  UniqueSocket listener(OpenListener("127.0.0.1", 0, 1, &port));
  ASSERT_TRUE(listener.valid());
  UniqueSocket client(OpenTcpSocket());
  ASSERT_TRUE(client.valid());
  SetBlocking(client.get(), false);
  ASSERT_TRUE(StartConnect(client.get(), "127.0.0.1", port));
  UniqueSocket server(AcceptConnection(listener.get(), 5000));
  ASSERT_TRUE(server.valid());
  ASSERT_TRUE(WaitConnected(client.get(), 5000));
  // Blocking, as the receive thread's socket is: ReceiveQueued must not wait all the same.
  ASSERT_TRUE(SetBlocking(client.get(), true));

  char buffer[64] = {};
  EXPECT_EQ(ReceiveQueued(client.get(), buffer, sizeof buffer), 0);

  ASSERT_EQ(SendBytes(server.get(), "first part", 10), 10);
  ASSERT_EQ(WaitReadable(client.get(), 5000), 1);
  // At most the room given; the rest stays queued for the next call.
  EXPECT_EQ(ReceiveQueued(client.get(), buffer, 4), 4);
  EXPECT_EQ(std::memcmp(buffer, "firs", 4), 0);
  EXPECT_EQ(ReceiveQueued(client.get(), buffer, sizeof buffer), 6);
  EXPECT_EQ(std::memcmp(buffer, "t part", 6), 0);
  EXPECT_EQ(ReceiveQueued(client.get(), buffer, sizeof buffer), 0);

  // The end of the stream: the wait wakes and a receive reports it.
  server.reset();
  ASSERT_EQ(WaitReadable(client.get(), 5000), 1);
  EXPECT_EQ(ReceiveQueued(client.get(), buffer, sizeof buffer), 0);
  EXPECT_EQ(ReceiveBytes(client.get(), buffer, sizeof buffer), 0);
}

}  // namespace
