// Test access to the parts of a ProcessClient's current connection, which its users never see.
#pragma once

#include "net/process_client.h"

class FrameCodec;
class Protocol;
class TcpSocket;

struct ProcessClientPeer {
  // A new current connection, not connected: for feeding its session by hand.
  static void NewConnection(ProcessClient& client) { client.NewConnection(); }
  static FrameCodec* codec(const ProcessClient& client) { return client.codec_; }
  static Protocol* session(const ProcessClient& client) { return client.session_; }
  static TcpSocket* socket(const ProcessClient& client) { return client.socket_; }
};
