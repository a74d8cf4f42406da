// The objects of one update-service connection, owned by its ProcessClient: codec, socket (with
// its TTcp) and session, linked to each other.
#pragma once

#include "net/frame_codec.h"
#include "net/protocol.h"
#include "net/tcp_socket.h"

struct ConnectionBundle {
  // Links protocol to codec and client, socket to protocol, codec to the socket's TTcp.
  explicit ConnectionBundle(ProcessClient* client);
  // Ends the session's and the transport's threads before any member goes.
  ~ConnectionBundle();
  ConnectionBundle(const ConnectionBundle&) = delete;
  ConnectionBundle& operator=(const ConnectionBundle&) = delete;

  // Ends both threads; the transport's socket is released without a report.
  void Stop();

  FrameCodec codec;
  Protocol protocol;
  TcpSocket socket;
};
