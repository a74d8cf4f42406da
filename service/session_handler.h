// The update and download endpoints: the authentication link with fresh session keys, login,
// update and module checks, and the downloads of the base archive and the module files. Every
// request is checked against the stage of the connection and the endpoint it came in on.
#pragma once

#include <deque>
#include <memory>

#include "wire/cipher_context.h"
#include "wire/message.h"
#include "wire/records.h"
#include "service/connection_handler.h"
#include "service/replies.h"
#include "service/service_metrics.h"
#include "service/service_state.h"
#include "service/transfer.h"

class SessionHandler : public ConnectionHandler {
 public:
  // Downloads a connection may have waiting behind the running one: enough for the largest
  // package asked for in requests of kMaxModulesPerRequest modules, and the base archive.
  static constexpr size_t kMaxQueuedTransfers =
      (kMaxPackageModules + kMaxModulesPerRequest - 1) / kMaxModulesPerRequest + 1;

  // Counts into `metrics`, the counters of the loop serving the connection.
  SessionHandler(const ServiceState& state, ServiceMetrics& metrics, const ConnectionInfo& info);

  void OnOpen(Outbox& out) override;
  bool OnReceive(const uint8_t* data, size_t length, size_t* consumed, Outbox& out,
                 std::string* reason) override;
  bool OnRoom(Outbox& out, std::string* reason) override;
  bool HasMore() const override { return transfer_ != nullptr && !stalled_; }
  bool KeepOpenWhenIdle() const override { return stalled_; }
  bool ClosesSession() const override { return closes_session_; }
  void OnAllSent() override;
  void OnClose(CloseCause cause, size_t unsent) override;

 private:
  enum class Stage { kAwaitingLink, kLinked, kLinkRefused };

  bool Handle(char type, const uint8_t* message, size_t length, Outbox& out,
              std::string* reason);
  bool OnAuthentLink(const uint8_t* message, size_t length, Outbox& out, std::string* reason);
  bool OnLogin(const uint8_t* message, size_t length, Outbox& out, std::string* reason);
  bool OnUpdateCheck(const uint8_t* message, size_t length, Outbox& out, std::string* reason);
  bool OnModuleCheck(const uint8_t* message, size_t length, Outbox& out, std::string* reason);
  bool OnModuleDownload(const uint8_t* message, size_t length, Outbox& out,
                        std::string* reason);
  // Parts of module files, answered in the order asked from the files themselves.
  bool OnModuleRanges(const uint8_t* message, size_t length, Outbox& out, std::string* reason);
  // Answers a module download with kErrorModuleNotServed and closes once it is out; `metric`
  // is the reason counted among the refused requests.
  bool RefuseDownload(const std::string& why, const char* metric, Outbox& out,
                      std::string* reason);
  bool OnBaseZip(const uint8_t* message, size_t length, Outbox& out, std::string* reason);
  bool Queue(std::unique_ptr<Transfer> transfer, std::string* reason);
  // A reply under the key the client receives with (type "6").
  bool Reply(Outbox& out, const std::vector<uint8_t>& message, std::string* reason);

  const ServiceState& state_;
  ServiceMetrics& metrics_;
  // The packages served when the connection came: a reload while it is open changes nothing
  // for it, and the modules its transfers point into stay alive until it closes.
  std::shared_ptr<const PackageSet> packages_;
  ConnectionInfo info_;
  bool update_endpoint_;
  Stage stage_ = Stage::kAwaitingLink;
  bool logged_in_ = false;
  CipherContext client_send_;     // deciphers what the client sends
  CipherContext client_receive_;  // enciphers what the client receives
  std::unique_ptr<Transfer> transfer_;
  std::deque<std::unique_ptr<Transfer>> waiting_;
  std::unique_ptr<SessionFaults> faults_;
  // The queued transfer that the faults hold back before it starts; null when none.
  const Transfer* held_transfer_ = nullptr;
  // The running transfer and the waiting ones hold every request of the largest package and
  // the base archive.
  static_assert(1 + kMaxQueuedTransfers >=
                    (kMaxPackageModules + kMaxModulesPerRequest - 1) / kMaxModulesPerRequest + 1,
                "the queue holds the requests of the largest package");
  int64_t chunks_sent_ = 0;
  bool refused_with_reply_ = false;  // a refusal was sent before the close
  bool stalled_ = false;         // stalled by the faults: nothing more goes out
  bool closes_session_ = false;  // the download is complete and takes its session with it
  // The install this download connection serves: started with its first download request,
  // completed once module files and everything else asked for went out.
  bool install_started_ = false;
  bool install_done_ = false;
  bool module_files_queued_ = false;
  uint64_t module_files_sent_ = 0;  // on this connection, for the metrics
  // Why this handler refused to go on or dropped the connection, for the refusal and failure
  // counters (empty: the close was not the handler's doing).
  std::string failure_;
};
