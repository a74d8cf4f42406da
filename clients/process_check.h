// ProcessCheck: the update-check client. After the opening exchange it logs in, asks whether the
// package needs installing, stores the latest version and the download server, collects the
// module records and reports each outcome to the installer window.
#pragma once

#include <cstdint>

#include "clients/process_client.h"

class ProcessCheck : public ProcessClient {
 public:
  ProcessCheck() = default;
  ~ProcessCheck() override;

  void OnMessage(const uint8_t* message, uint32_t length) override;
  void OnClientDisconnect(const char* text, int32_t code) override;
  void OnHeartbeatTimeout() override {}
  void OnLogin(int32_t error_code, const uint8_t* records, uint32_t records_length) override;
  void OnSessionNotice(int32_t) override {}
  void OnAuthentLink(int32_t error_code) override;

  // The update-check request (0x3051, 93 bytes) for the package number and InstalledVersion.
  void QryCheckUpdate();
  // The module-check request (0x3061, 134 bytes) for LatestVersion.
  void QryCheckModule();
};
