// Reading one HTTP request head and answering it.
#include "service/metrics_handler.h"

#include <cstring>

#include "service/service_log.h"

namespace {

// The end of the request head ("\r\n\r\n", or "\n\n" from lenient clients); npos when it has
// not arrived.
size_t HeadEnd(const std::string& text) {
  size_t crlf = text.find("\r\n\r\n");
  size_t lf = text.find("\n\n");
  return std::min(crlf, lf);
}

// Request text for the log line: bounded, control bytes replaced.
std::string Printable(const std::string& text, size_t max) {
  std::string out = text.substr(0, max);
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  return out;
}

}  // namespace

void MetricsHandler::Answer(Outbox& out, int status, const char* status_text,
                            const std::string& body, const char* extra_headers, bool prometheus) {
  std::string head = "HTTP/1.1 " + std::to_string(status) + " " + status_text + "\r\n";
  head += prometheus ? "Content-Type: text/plain; version=0.0.4; charset=utf-8\r\n"
                     : "Content-Type: text/plain; charset=utf-8\r\n";
  head += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  head += extra_headers;
  head += "Connection: close\r\n\r\n";
  std::string all = head + body;
  out.Append(reinterpret_cast<const uint8_t*>(all.data()), all.size());
  out.CloseAfterFlush("answered " + std::to_string(status));
  answered_ = true;
}

bool MetricsHandler::OnReceive(const uint8_t* data, size_t length, size_t* consumed,
                               Outbox& out, std::string* reason) {
  (void)reason;
  if (answered_) {  // whatever follows the one request is not read
    *consumed = length;
    return true;
  }
  const std::string text(reinterpret_cast<const char*>(data), std::min(length, kMaxRequest + 4));
  const size_t end = HeadEnd(text);
  if (end == std::string::npos || end > kMaxRequest) {
    if (length <= kMaxRequest) {
      *consumed = 0;  // the rest of the head is still coming
      return true;
    }
    *consumed = length;
    Answer(out, 431, "Request Header Fields Too Large", "request head too large\n");
    return true;
  }
  *consumed = length;
  const std::string line = text.substr(0, text.find_first_of("\r\n"));
  const size_t sp1 = line.find(' ');
  const size_t sp2 = sp1 == std::string::npos ? sp1 : line.find(' ', sp1 + 1);
  if (sp2 == std::string::npos || line.compare(sp2 + 1, 5, "HTTP/") != 0) {
    Answer(out, 400, "Bad Request", "bad request\n");
    return true;
  }
  const std::string method = line.substr(0, sp1);
  std::string target = line.substr(sp1 + 1, sp2 - sp1 - 1);
  target = target.substr(0, target.find('?'));
  if (target != "/metrics" && target != "/healthz") {
    Answer(out, 404, "Not Found", "only /metrics and /healthz are served here\n");
  } else if (method != "GET") {
    Answer(out, 405, "Method Not Allowed", "only GET is served here\n", "Allow: GET\r\n");
  } else if (target == "/healthz") {
    // Load balancers take a 503 as "send no more here"; the service still serves meanwhile.
    if (serving_()) {
      Answer(out, 200, "OK", "ok\n");
    } else {
      Answer(out, 503, "Service Unavailable", "stopping\n");
    }
  } else {
    Answer(out, 200, "OK", render_(), "", true);
  }
  ServiceLogF("%s %s %s", info_.Tag().c_str(), Printable(method, 16).c_str(),
              Printable(target, 64).c_str());
  return true;
}
