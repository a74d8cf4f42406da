// The metrics endpoint: a minimal HTTP/1.x responder that answers GET /metrics with the
// Prometheus text and GET /healthz with the service's health for load balancers, and nothing
// else. One request per connection, closed after the answer; a request head larger than
// kMaxRequest is refused without reading on.
#pragma once

#include <functional>
#include <string>

#include "service/connection_handler.h"

class MetricsHandler : public ConnectionHandler {
 public:
  static constexpr size_t kMaxRequest = 8192;

  // `render` makes the body of a GET /metrics answer when one is asked for; `serving` says
  // whether GET /healthz answers 200 (serving) or 503 (stopping).
  MetricsHandler(std::function<std::string()> render, std::function<bool()> serving,
                 const ConnectionInfo& info)
      : render_(std::move(render)), serving_(std::move(serving)), info_(info) {}

  bool OnReceive(const uint8_t* data, size_t length, size_t* consumed, Outbox& out,
                 std::string* reason) override;

 private:
  void Answer(Outbox& out, int status, const char* status_text, const std::string& body,
              const char* extra_headers = "", bool prometheus = false);

  std::function<std::string()> render_;
  std::function<bool()> serving_;
  ConnectionInfo info_;
  bool answered_ = false;
};
