// Test helpers: a server on a numeric loopback address that speaks the frame format from the
// service's side, and a ProcessClient that records what the session delivers.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "wire/cipher_context.h"
#include "net/process_client.h"
#include "net/socket_ops.h"
#include "test_support/event_log.h"

constexpr char kLoopbackAddress[] = "127.0.0.1";

class LoopbackPeer {
 public:
  // Listens on 127.0.0.1 on a free port.
  explicit LoopbackPeer(int backlog = 4);

  bool listening() const { return listener_.valid(); }
  uint16_t port() const { return port_; }
  SocketHandle listener() const { return listener_.get(); }

  // Accepts the next connection (replacing the previous one).
  bool Accept(int timeout_ms = 5000);
  // Closes the accepted connection.
  void Drop() { connection_.reset(); }

  // Exactly `count` bytes from the connection, or false on time-out / end of stream.
  bool ReadExactly(size_t count, std::string* out, int timeout_ms = 5000);
  // One whole frame, header included.
  bool ReadFrame(std::string* frame, int timeout_ms = 5000);
  // One frame decoded with `fixed` (types "3", "4") or `session` (types "5", "6").
  bool ReadMessage(const CipherContext& fixed, const CipherContext& session, char* type,
                   std::string* message, int timeout_ms = 5000);
  // True when the peer closed the connection (end of stream) within the time-out.
  bool WaitClosedByClient(int timeout_ms = 5000);

  bool SendRaw(const std::string& bytes);
  // One frame of `type` with the message, enciphered with `context` where the type needs it.
  bool SendMessage(const std::string& message, char type, const CipherContext* context);

 private:
  // In this order: the library before any socket, the port before the listener fills it.
  SocketsLibrary sockets_;
  uint16_t port_ = 0;
  UniqueSocket listener_;
  UniqueSocket connection_;
};

// A frame of `type` built from `message` (empty on failure).
std::string MakeFrame(const std::string& message, char type, const CipherContext* context);

// A message: request-style header with `code`, `error_code`, the chain flag and records.
std::string MakeMessage(uint16_t code, int32_t error_code, const std::string& records = "",
                        uint16_t record_count = 0, uint32_t record_size = 0,
                        uint8_t chain = '0');

// An authentication link response (code 0x0002) with the two key texts and the interval.
std::string MakeAuthentLinkResponse(int32_t error_code, const std::string& send_key,
                                    int32_t interval, const std::string& receive_key);

// A CipherContext keyed with the text (at most 16 bytes, the rest zero).
CipherContext KeyedContext(const std::string& key);

// Records every ProcessClient callback; tests wait for what they expect.
class RecordingClient : public ProcessClient {
 public:
  struct Event {
    std::string kind;  // "message", "disconnect", "login", "notice", "authent-link"
    int32_t code = 0;
    std::string bytes;  // message, records or disconnect text
  };

  ~RecordingClient() override { ReleaseConnections(); }

  void OnMessage(const uint8_t* message, uint32_t length) override;
  void OnClientDisconnect(const char* text, int32_t code) override;
  void OnLogin(int32_t error_code, const uint8_t* records, uint32_t records_length) override;
  void OnSessionNotice(int32_t error_code) override;
  void OnAuthentLink(int32_t error_code) override;

  // Runs inside OnAuthentLink after recording (for example to send the login).
  std::function<void(int32_t)> on_authent_link;

  // Waits until `count` events of `kind` are recorded.
  bool WaitFor(const std::string& kind, size_t count = 1, int timeout_ms = 5000) {
    return events_.WaitFor(kind, count, timeout_ms);
  }
  size_t Count(const std::string& kind) { return events_.Count(kind); }
  std::vector<Event> Events() { return events_.Events(); }

 private:
  EventLog<Event, std::string, &Event::kind> events_;
};
