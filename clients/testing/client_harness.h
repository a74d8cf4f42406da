// Test helpers for the clients: the update service's side of one client connection, reply
// records built from our own codec, a recorder of the window messages and a fixture with its own
// staging folder and install log.
#pragma once

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "core/install_context.h"
#include "core/window_messages.h"
#include "install/staged_package.h"
#include "wire/cipher_context.h"
#include "net/frame_codec.h"
#include "net/process_client.h"
#include "wire/records.h"
#include "net/testing/loopback_peer.h"
#include "test_support/event_log.h"
#include "test_support/temp_dir.h"

// The session keys the service side hands out.
constexpr char kTestSendKey[] = "client-sends-key";
constexpr char kTestReceiveKey[] = "client-reads-key";

// Receives what the clients post or send to the controller; a send does not wait.
class WindowMessages : public ClientSink {
 public:
  struct Entry {
    unsigned message;
    intptr_t l_param;
    bool sent;
  };

  WindowMessages() = default;
  WindowMessages(const WindowMessages&) = delete;
  WindowMessages& operator=(const WindowMessages&) = delete;

  void Post(unsigned message, intptr_t l_param) override { entries_.Record({message, l_param, false}); }
  void Send(unsigned message, intptr_t l_param) override { entries_.Record({message, l_param, true}); }

  // Waits until `count` messages of the kind have arrived.
  bool WaitFor(unsigned message, size_t count = 1, int timeout_ms = 5000) {
    return entries_.WaitFor(message, count, timeout_ms);
  }
  size_t Count(unsigned message) { return entries_.Count(message); }
  std::vector<Entry> Entries() { return entries_.Events(); }
  // The messages in arrival order.
  std::vector<unsigned> Kinds();

 private:
  EventLog<Entry, unsigned, &Entry::message> entries_;
};

// The service's end of one client connection.
class ServiceSide {
 public:
  // Makes a new connection for `client`, connects it here, accepts and answers the authentication
  // link with `authent_error` (session keys installed only with 0).
  bool Open(ProcessClient* client, int32_t authent_error = 0);
  // One request from the client, deciphered with its send key.
  bool Read(std::string* message, int timeout_ms = 5000);
  // Sends a message under the client's receive key (type "6").
  bool Send(const std::string& message);
  // No frame from the client within the time.
  bool Quiet(int timeout_ms = 300);
  LoopbackPeer& peer() { return peer_; }

 private:
  LoopbackPeer peer_;
  CipherContext fixed_ = KeyedContext(kBuiltInKey);
  CipherContext send_ = KeyedContext(kTestSendKey);
  CipherContext receive_ = KeyedContext(kTestReceiveKey);
};

// Reply records as a service might send them, cut or padded to `record_size`. Text fields may
// fill their whole width (no NUL), and a chunk's data length is written as given.
std::string UpdateCheckReplyBytes(int32_t part3, int32_t part4, const std::string& host,
                                  int32_t port, bool proceed,
                                  size_t record_size = kUpdateCheckReplyRecordSize);
std::string ModuleRecordBytes(const std::string& key, const std::string& name, int32_t num1,
                              int32_t num2, char kind);
std::string FileChunkBytes(const std::string& module, const std::string& folder,
                           const std::string& file, const std::string& data, bool last,
                           size_t record_size = kFileChunkRecordSize);
std::string BaseChunkBytes(const std::string& file, const std::string& data, bool last,
                           size_t record_size = kBaseChunkRecordSize);
// A message of `code` carrying `records` (all of one size).
std::string Reply(uint16_t code, const std::vector<std::string>& records, uint8_t chain = '0',
                  int32_t error_code = 0);
uint16_t MessageCode(const std::string& message);
// A zip archive of stored (uncompressed) entries.
std::string StoredZip(const std::vector<std::pair<std::string, std::string>>& entries);

// The staged package with the base archive decision a test makes (the real one asks Windows and
// edits the user's Path).
class TestStagedPackage : public StagedPackage {
 public:
  using StagedPackage::StagedPackage;
  bool WantsBaseArchive() override { return base_wanted; }
  bool base_wanted = false;
};

// A staging folder (below a folder of its own, so escapes show), the dependency folder beside
// it, the install log open, an empty module list, the consumer of the staged files and the
// message recorder.
class ClientTest : public testing::Test {
 protected:
  ClientTest();
  ~ClientTest() override;


  std::string Staging(const std::string& name) const { return staging_ + "\\" + name; }
  std::string LogText() const;
  // Waits until the log holds `text`: a client writes its line after it posted its message.
  bool LogHas(const std::string& text, int timeout_ms = 5000) const;
  // Names in the test's own folder, which should hold only the staging and dependency folders.
  std::vector<std::string> TopLevelNames() const;

  TempDir dir_;
  const std::string staging_ = dir_.Join("stage");
  const std::string depend_ = dir_.Join("depend");
  WindowMessages window_;
  ModuleList modules_;
  TestStagedPackage staged_{staging_, depend_, nullptr};
};
