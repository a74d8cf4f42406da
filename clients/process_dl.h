// ProcessDL: the download client. It fetches and unpacks the base dependency archive when the
// machine needs it, requests every module file of the module list and writes the chunks that
// arrive below StagingDir, reporting each finished file and the end of the download.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "clients/process_client.h"

class ProcessDL : public ProcessClient {
 public:
  ProcessDL() = default;
  ~ProcessDL() override;

  void OnMessage(const uint8_t* message, uint32_t length) override;
  // Closes both files, sends UM_DL_DISCONNECT synchronously, logs the loss.
  void OnClientDisconnect(const char* text, int32_t code) override;
  void OnHeartbeatTimeout() override {}
  void OnLogin(int32_t error_code, const uint8_t* records, uint32_t records_length) override;
  void OnSessionNotice(int32_t) override {}
  void OnAuthentLink(int32_t error_code) override;

  // The base archive request (0x3091, 95 bytes).
  void DownloadBaseZip();
  // Requests every module of the module list whose Kind is not "D" (several requests of at most
  // 1770 records when there are more). Called on the window thread.
  void DownloadModule();

  int32_t PendingCount() const { return pending_count_; }

 private:
  // Receive thread only, except OnClientDisconnect (see the class comment in the source).
  int32_t pending_count_ = 0;
  char current_path_[260] = {};
  FILE* module_file_ = nullptr;
  FILE* base_file_ = nullptr;
  std::vector<std::string> pending_names_;
  bool download_active_ = true;
};
