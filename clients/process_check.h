// ProcessCheck: the update-check client. After the opening exchange it logs in, asks whether the
// package needs installing, and collects what the service offers (the latest version, the
// download server, the module records) into an offer it hands over once the list is complete.
// It reports each outcome to the sink it was given.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "core/install_context.h"
#include "core/window_messages.h"

#include "net/process_client.h"
#include "wire/message.h"

// The module list holds at most this many records, as many as a package of the service has.
constexpr size_t kMaxModuleListRecords = 65535;

class ProcessCheck : public ProcessClient {
 public:
  // Asks for package `package_number` with `installed` as the installed version; reports to
  // `sink`, which outlives this client.
  ProcessCheck(ClientSink* sink, std::string package_number, const VersionPair& installed);
  ~ProcessCheck() override;

  void OnMessage(const uint8_t* message, uint32_t length) override;
  void OnClientDisconnect(const char* text, int32_t code) override;
  void OnLogin(int32_t error_code, const uint8_t* records, uint32_t records_length) override;
  void OnSessionNotice(int32_t) override {}
  void OnAuthentLink(int32_t error_code) override;

  // The update-check request (0x3051, 93 bytes) for the package number and installed version.
  void QryCheckUpdate();
  // The module-check request (0x3061, 134 bytes) for the offer's latest version.
  void QryCheckModule();

  // What the service offered, once UM_MODULE_CHECK_DONE is reported: moved out to the caller,
  // who owns it from then on; nothing later changes it. Before that, what has arrived so far
  // (for tests and the fuzz target). Any thread.
  UpdateOffer TakeOffer();

 private:
  void OnUpdateCheckReply(const MessageHeader& header, uint32_t length, const uint8_t* records);
  void OnModuleCheckReply(const MessageHeader& header, uint32_t length, const uint8_t* records);
  // A reply that cannot be used while the module list is still being collected: logs `what` and
  // closes the check connection, which the window hears as UM_CHECK_DISCONNECT. Every later
  // message is dropped.
  void Refuse(const char* what);

  ClientSink* const sink_;
  const std::string package_number_;
  const VersionPair installed_;
  // Filled on the receive thread until the list is complete; then handed over once.
  std::mutex offer_lock_;
  UpdateOffer offer_;
  // Receive thread only; atomic because a later connection has a receive thread of its own.
  // Set once UM_MODULE_CHECK_DONE is posted: the offer is the controller's from then on, so a
  // late reply never changes it.
  std::atomic<bool> list_complete_{false};
  std::atomic<bool> refused_{false};
};
