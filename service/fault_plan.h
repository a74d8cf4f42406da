// The points at which a test build of the service may bend what a connection sends, so that
// tests can watch how installers cope: one FaultPlan per service, one SessionFaults per
// connection. The operators' build has no plan, and every connection runs with the base
// SessionFaults, which changes nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "service/connection_handler.h"
#include "service/outbox.h"

// What a module download request is served with.
struct DownloadFaults {
  bool uncached = false;      // every message built anew (cuts at exact chunk counts)
  std::string corrupt_module;  // this module's files go out with a flipped byte; empty: none
  // This module's files go out with one chunk more than they hold; empty: none.
  std::string grow_module;
  bool hold_last_file = false;  // the last file in a transfer of its own, held (BeforeHeldFile)
};

// What happens to a download before its next message of chunk records.
struct ChunkCut {
  enum Kind { kNone, kStall, kDrop };
  Kind kind = kNone;
  size_t max_records = SIZE_MAX;  // otherwise: at most this many records in the next message
  std::string reason;             // of a stall or a drop, for the log
};

class SessionFaults {
 public:
  virtual ~SessionFaults() = default;

  // Before anything else goes out on a new connection.
  virtual void OnOpen(Outbox& out) { (void)out; }
  // Before the authentication link reply: false refuses the link. `out` may be held.
  virtual bool OnAuthentLink(Outbox& out) {
    (void)out;
    return true;
  }
  virtual bool RefuseLogin() { return false; }
  // An update check of a published package: true refuses it with `*code`.
  virtual bool RefuseUpdate(int32_t* code) {
    (void)code;
    return false;
  }
  // The number of messages a module list goes out in, from the number it needs.
  virtual size_t ModuleListMessages(size_t needed) { return needed; }
  // The module list is out.
  virtual void AfterModuleList(Outbox& out) { (void)out; }
  virtual DownloadFaults OnModuleDownload() { return {}; }
  // The held last file of a request is next.
  virtual void BeforeHeldFile(Outbox& out) { (void)out; }
  virtual ChunkCut BeforeChunks(int64_t chunks_sent) {
    (void)chunks_sent;
    return {};
  }
  // The module files are out and nothing more is asked for: true closes the session with it.
  virtual bool CloseSessionAfterDownload() { return false; }
  // The message code of a package-query answer, from the right one; `out` may be held.
  virtual uint16_t OnQueryReply(uint16_t code, Outbox& out) {
    (void)out;
    return code;
  }
};

class FaultPlan {
 public:
  virtual ~FaultPlan() = default;
  // "refuse-login, drop-after 10": for the start-up log line.
  virtual std::string Describe() const = 0;
  // The faults of one new connection.
  virtual std::unique_ptr<SessionFaults> ForConnection(const ConnectionInfo& info) = 0;
};

// The faults of a connection under `plan`; with none, the base SessionFaults.
inline std::unique_ptr<SessionFaults> FaultsFor(FaultPlan* plan, const ConnectionInfo& info) {
  return plan != nullptr ? plan->ForConnection(info) : std::make_unique<SessionFaults>();
}
