// Our own installer clients run against a service the way the installer window runs them:
// ProcessCheck on an update endpoint until the module list is complete, then ProcessDL on the
// download server the service named, asking for the modules when the base-archive stage is over.
// The caller's thread plays the window: it receives the clients' window messages in order.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "core/install_context.h"
#include "core/window_messages.h"
#include "service/endpoint.h"

class StagedHashes;

struct WindowMessage {
  unsigned message;
  intptr_t l_param;
  bool sent;
};

class ClientRun : private ClientSink {
 public:
  // The clients write below `staging_dir`; the base archive unpacks below `depend_dir`.
  ClientRun(const std::string& staging_dir, const std::string& depend_dir);
  ~ClientRun();
  ClientRun(const ClientRun&) = delete;
  ClientRun& operator=(const ClientRun&) = delete;

  // Link, login, update check, module check. True when UM_MODULE_CHECK_DONE arrived (the offer
  // is then taken); false on any failure message or after `timeout_ms`.
  bool Check(const ListenAddress& update, int timeout_ms = 20000);
  // The download from the server the check named (or `download` when given). True when
  // UM_DOWNLOAD_DONE arrived; false on a refusal, after `timeout_ms`, or on UM_DL_DISCONNECT
  // once `reconnects` new connections have been made after losses (at once: the pauses
  // between them are the window's business).
  bool Download(int timeout_ms = 60000, const ListenAddress* download = nullptr,
                int reconnects = 0);
  // The download client hashes each file as it completes into `hashes` and keeps the base
  // archive packed, as a program with a package key has it. Before Download().
  void CheckPackages(StagedHashes* hashes);
  // The base archive kept packed in the staging folder, or empty.
  std::string KeptBaseArchive() const;
  // What the update check offered.
  const UpdateOffer& offer() const;

  // The module names of each module request of the last Download(), one list per request.
  const std::vector<std::vector<std::string>>& requests() const { return requests_; }

  // Every window message so far, in order.
  std::vector<WindowMessage> messages();
  int Count(unsigned message);
  // The l_param of the last message of that number, or -1.
  intptr_t LastParam(unsigned message);
  // Waits until a message of that number arrives (or the time-out). True when it did.
  bool WaitFor(unsigned message, int timeout_ms);
  // Seconds between the module request and UM_DOWNLOAD_DONE of the last Download().
  double module_seconds() const { return module_seconds_; }

 private:
  struct Clients;
  void Post(unsigned message, intptr_t l_param) override;
  void Send(unsigned message, intptr_t l_param) override;
  bool Next(WindowMessage* out, int timeout_ms);

  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<WindowMessage> queue_;
  std::vector<WindowMessage> all_;
  Clients* clients_;
  double module_seconds_ = 0;
  std::vector<std::vector<std::string>> requests_;
};
