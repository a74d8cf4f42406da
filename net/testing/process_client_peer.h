// Test access to a ProcessClient's current connection, which its users never see.
#pragma once

#include "net/process_client.h"

class Protocol;

struct ProcessClientPeer {
  // A new current connection, not connected: for connecting it or feeding it by hand.
  static void NewConnection(ProcessClient& client) { client.NewConnection(); }
  static Protocol* session(const ProcessClient& client) { return client.session_; }
};
