// The faults the test build of the service injects on request (quillbank-service-faults, and
// the in-process service of the tests), so that tests can watch how installers cope.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "service/fault_plan.h"

struct FaultConfig {
  bool refuse_update = false;  // update-check reply with proceed flag 0 and this error code
  int32_t refuse_update_code = 0;
  bool refuse_login = false;          // login reply with a non-zero error code
  bool refuse_auth_update = false;    // authentication link refused on the update endpoints
  bool refuse_auth_download = false;  // ... and on the download endpoint
  int64_t drop_after_chunks = -1;     // download connection closed after this many chunk records
  // With drop_after_chunks: only the first this many download connections, counted by their
  // authentication links, are closed; the later ones run to the end. -1: every one.
  int64_t drop_connections = -1;
  // The authentication link reply of every download connection after the first (an installer
  // coming back after a loss) is held back until this file exists; empty: never held.
  std::string hold_reauth_until;
  // The last module file of every module request is held back until this file exists, the
  // others sent at once; empty: never held.
  std::string hold_last_file_until;
  // Download connection falls silent after this many chunk records: nothing more is sent on
  // it, what it receives is ignored, and the idle time-out spares it until the client goes.
  int64_t stall_after_chunks = -1;
  bool drop_check_after_list = false;  // update connection closed after the last module reply
  // Every update and download connection from the client's address closed once a download
  // connection has sent everything asked of it.
  bool drop_all_after_download = false;
  bool garbage_first = false;         // an undecodable frame before anything else on a session
  int split_module_messages = 0;      // module-check reply spread over this many messages
  int query_delay_ms = 0;             // package-query answer held back this long
  std::string query_delay_address;    // only on this query listen address; empty: on all
  bool query_wrong_code = false;      // package-query answer with a code other than 0x5052
  // Every download of the module of this name has the first data byte of its file flipped
  // (xor 0xFF) as it is sent, sizes unchanged; the module is never cached. Empty: none.
  std::string corrupt_module;
  // Every download of the module of this name sends one chunk (1001 bytes) more than its file
  // holds before the last one; the module is never cached. Empty: none.
  std::string grow_module;

  bool any() const {
    return refuse_update || refuse_login || refuse_auth_update || refuse_auth_download ||
           drop_after_chunks >= 0 || drop_connections >= 0 || !hold_reauth_until.empty() ||
           !hold_last_file_until.empty() ||
           stall_after_chunks >= 0 || drop_check_after_list ||
           drop_all_after_download || garbage_first || split_module_messages > 0 ||
           query_delay_ms > 0 || query_wrong_code || !corrupt_module.empty() ||
           !grow_module.empty();
  }
  // "refuse-login, drop-after 10": for the start-up log line.
  std::string Describe() const;
};

// The plan that injects `config`'s faults; null when it asks for none.
std::shared_ptr<FaultPlan> MakeFaultPlan(const FaultConfig& config);
