// Protocol: the session between one update-service client and its connection. It decodes the
// received frames, routes each message to the client, sends the authentication link request and
// carries the keep-alive loop (a thread nothing in the installer starts).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "base/thread.h"
#include "wire/frame_format.h"
#include "wire/message.h"

class FrameCodec;
class ProcessClient;

class Protocol : public TThread {
 public:
  Protocol() = default;
  // Stops and joins the keep-alive thread if one was started.
  ~Protocol() override;

  void SetCodec(FrameCodec* codec) { codec_ = codec; }
  void SetClient(ProcessClient* client) { client_ = client; }
  FrameCodec* codec() const { return codec_; }
  ProcessClient* client() const { return client_; }

  // Decodes every complete frame at the start of `data`, dispatches each message and returns
  // how many bytes may be discarded: up to the first incomplete frame, or everything when the
  // stream cannot be decoded. Receive thread only (it works in this object's buffers).
  int ParseFrames(const uint8_t* data, uint32_t length);

  // Routes one decoded message by its code. Messages shorter than the header are ignored.
  void Dispatch(const uint8_t* message, uint32_t length);

  // Sends the 119-byte authentication link request under the built-in key (type "4").
  bool SendAuthentLink();

  void SetLinked(bool linked) { linked_.store(linked); }
  bool linked() const { return linked_.load(); }
  int32_t outstanding_heartbeats() const { return outstanding_heartbeats_.load(); }
  int32_t heartbeat_interval() const { return heartbeat_interval_.load(); }

  // The keep-alive loop: a heartbeat every interval while linked; tells the client when two go
  // unanswered and closes the transport after a third.
  void Run() override;

 private:
  void OnAuthentLinkResponse(const uint8_t* message, uint32_t length, int32_t error_code);
  bool SendHeartbeat();

  FrameCodec* codec_ = nullptr;
  ProcessClient* client_ = nullptr;
  std::atomic<bool> linked_{false};
  std::atomic<int32_t> outstanding_heartbeats_{0};
  std::atomic<int32_t> heartbeat_interval_{0};
  FrameDecodeBuffers buffers_;
};
