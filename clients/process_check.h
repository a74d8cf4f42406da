// ProcessCheck: the update-check client. After the opening exchange it logs in, asks whether the
// package needs installing, stores the latest version and the download server, collects the
// module records and reports each outcome to the installer window.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "net/process_client.h"

// The module list holds at most this many records, as many as a package of the service has.
constexpr size_t kMaxModuleListRecords = 65535;

class ProcessCheck : public ProcessClient {
 public:
  ProcessCheck() = default;
  ~ProcessCheck() override;

  void OnMessage(const uint8_t* message, uint32_t length) override;
  void OnClientDisconnect(const char* text, int32_t code) override;
  void OnLogin(int32_t error_code, const uint8_t* records, uint32_t records_length) override;
  void OnSessionNotice(int32_t) override {}
  void OnAuthentLink(int32_t error_code) override;

  // The update-check request (0x3051, 93 bytes) for the package number and InstalledVersion.
  void QryCheckUpdate();
  // The module-check request (0x3061, 134 bytes) for LatestVersion.
  void QryCheckModule();

 private:
  // A reply that cannot be used while the module list is still being collected: logs `what` and
  // closes the check connection, which the window hears as UM_CHECK_DISCONNECT. Every later
  // message is dropped.
  void Refuse(const char* what);

  // Receive thread only; atomic because a later connection has a receive thread of its own.
  // Set once UM_MODULE_CHECK_DONE is posted: the window reads the list from then on, so it
  // never changes again.
  std::atomic<bool> list_complete_{false};
  std::atomic<bool> refused_{false};
};
