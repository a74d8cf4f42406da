// What a connection's protocol does with the bytes it receives. The server owns the socket, the
// buffers and the time-outs; a handler only turns requests into replies in an Outbox.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "service/endpoint.h"
#include "service/outbox.h"

struct ConnectionInfo {
  uint64_t id = 0;
  EndpointKind kind = EndpointKind::kQuery;
  std::string peer;   // "A.B.C.D:PORT" of the client
  std::string local;  // the listen address it came in on

  // "update#12": the prefix of every log line about this connection.
  std::string Tag() const { return std::string(EndpointName(kind)) + "#" + std::to_string(id); }
};

// Why a connection ended, for the handler's own accounting (the log line has the full text).
enum class CloseCause {
  kRefused,        // the handler refused what it received (or could not go on sending)
  kClientClosed,   // end of stream from the client
  kNetworkError,   // receive or send failed
  kTooLarge,       // a request larger than any the endpoint takes
  kIdle,           // silent for the idle time-out
  kOnPurpose,      // the handler asked for the close once its bytes were out
  kSession,        // closed with another connection of the same installer
  kStopping,       // the service stops
};
const char* CloseCauseName(CloseCause cause);

class ConnectionHandler {
 public:
  virtual ~ConnectionHandler() = default;

  // The connection was accepted; a handler may queue something at once.
  virtual void OnOpen(Outbox& out) { (void)out; }
  // Handles the complete requests at the start of `data`, one after another while the outbox is
  // not full(), and reports in `consumed` how many bytes it used (the requests left stay for
  // the next call, once the outbox has drained; an incomplete one until it is complete). False
  // closes the connection, with `reason` for the log.
  virtual bool OnReceive(const uint8_t* data, size_t length, size_t* consumed, Outbox& out,
                         std::string* reason) = 0;
  // Called while the outbox is short of data and HasMore(): queue the next part of a running
  // transfer. False closes the connection at once, with `reason` for the log; a handler that
  // wants its queued bytes delivered first tells the outbox CloseAfterFlush instead.
  virtual bool OnRoom(Outbox& out, std::string* reason) {
    (void)out;
    (void)reason;
    return true;
  }
  virtual bool HasMore() const { return false; }
  // Everything queued so far went out and HasMore() is false.
  virtual void OnAllSent() {}
  // The connection is closed; `unsent` bytes of the outbox never went out.
  virtual void OnClose(CloseCause cause, size_t unsent) {
    (void)cause;
    (void)unsent;
  }
  // True while the connection is to stay open however long it is silent.
  virtual bool KeepOpenWhenIdle() const { return false; }
  // True when closing this connection closes the other update and download connections from
  // the same client address too.
  virtual bool ClosesSession() const { return false; }
};
