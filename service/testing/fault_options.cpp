// The command-line options of quillbank-service-faults: one per fault it can inject.
#include "service/testing/fault_options.h"

#include <cstdint>

#include "base/deployment_values.h"

namespace {

bool ParseQueryDelay(const std::string& v, FaultConfig* faults) {
  size_t at = v.find('@');
  long long ms = 0;
  if (!NumberOption(1, 600000, [&ms](long long n) { ms = n; })(v.substr(0, at))) return false;
  faults->query_delay_ms = int(ms);
  if (at != std::string::npos) {
    ListenAddress a;
    if (!ParseListenAddress(v.substr(at + 1), QB_QUERY_PORT, &a)) return false;
    faults->query_delay_address = a.host;
  }
  return true;
}

}  // namespace

ServeOptionExtension FaultOptions(FaultConfig* f) {
  ServeOptionExtension extension;
  extension.flags = {
      {"--refuse-update", NumberOption(INT32_MIN, INT32_MAX,
                                 [=](long long n) {
                                   f->refuse_update = true;
                                   f->refuse_update_code = static_cast<int32_t>(n);
                                 })},
      {"--drop-after", NumberOption(0, INT64_MAX, [=](long long n) { f->drop_after_chunks = n; })},
      {"--drop-connections",
       NumberOption(1, INT64_MAX, [=](long long n) { f->drop_connections = n; })},
      {"--hold-reauth-until",
       [=](const std::string& v) { f->hold_reauth_until = v; return !v.empty(); }},
      {"--hold-last-file-until",
       [=](const std::string& v) { f->hold_last_file_until = v; return !v.empty(); }},
      {"--stall-after", NumberOption(0, INT64_MAX, [=](long long n) { f->stall_after_chunks = n; })},
      {"--split-modules", NumberOption(1, 10000, [=](long long n) { f->split_module_messages = int(n); })},
      {"--query-delay", [=](const std::string& v) { return ParseQueryDelay(v, f); }},
      {"--corrupt-module",
       [=](const std::string& v) { f->corrupt_module = v; return !v.empty(); }},
      {"--grow-module", [=](const std::string& v) { f->grow_module = v; return !v.empty(); }},
  };
  extension.switches = {
      {"--refuse-login", [=] { f->refuse_login = true; }},
      {"--refuse-auth",
       [=] {
         f->refuse_auth_update = true;
         f->refuse_auth_download = true;
       }},
      {"--refuse-auth=update", [=] { f->refuse_auth_update = true; }},
      {"--refuse-auth=download", [=] { f->refuse_auth_download = true; }},
      {"--garbage-first", [=] { f->garbage_first = true; }},
      {"--query-wrong-code", [=] { f->query_wrong_code = true; }},
      {"--drop-check-after-list", [=] { f->drop_check_after_list = true; }},
      {"--drop-all-after-download", [=] { f->drop_all_after_download = true; }},
  };
  extension.help = R"(Fault injection (for tests):
  --refuse-update CODE   update check answered with proceed flag 0 and error code CODE
  --refuse-login         login answered with an error
  --refuse-auth[=update|=download]  authentication link refused (default: on both)
  --drop-after K         download connection closed after K chunk records
  --drop-connections N   with --drop-after: only the first N download connections are closed
                         (counted by their authentication links); later ones run to the end
  --hold-reauth-until FILE  the authentication link reply of every download connection after
                         the first is held back until FILE exists
  --hold-last-file-until FILE  the last module file of every module request is held back
                         until FILE exists; the others go at once
  --stall-after K        download connection silent after K chunk records: nothing more is
                         sent, requests are ignored, kept open (no idle time-out) until the
                         installer goes
  --drop-check-after-list  update connection closed right after the last module-check reply
  --drop-all-after-download  once a download connection has sent the module files and has
                         nothing more to send, every update and download connection from that
                         installer's address closes
  --garbage-first        an undecodable frame goes out first on every session
  --split-modules M      module-check reply spread over M messages
  --query-delay MS[@ADDR]  package-query answer held back MS ms (only on ADDR if given)
  --query-wrong-code     package-query answered with a wrong message code
  --corrupt-module NAME  every download of the module named NAME has the first byte of its
                         file flipped as it is sent (sizes unchanged; never cached)
  --grow-module NAME     every download of the module named NAME sends 1001 bytes more than
                         its file holds, in one more chunk (never cached)
)";
  extension.finish = [f](std::string* error) {
    if (f->drop_connections >= 0 && f->drop_after_chunks < 0) {
      *error = "--drop-connections needs --drop-after";
      return false;
    }
    return true;
  };
  return extension;
}
