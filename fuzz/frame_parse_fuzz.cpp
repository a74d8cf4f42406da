// Fuzz target for the receive path: bytes through the receive buffer into ParseFrames and
// Dispatch, with every frame type under fixed keys. The first input byte picks the mode: raw
// bytes as received, or a list of messages that are first framed properly (types "1".."6") so
// that the decoders behind decipherment and decompression are reached too.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "net/frame_codec.h"
#include "wire/frame_format.h"
#include "net/process_client.h"
#include "net/protocol.h"
#include "net/tcp_receive_buffer.h"
#include "net/testing/process_client_peer.h"

namespace {

const char kSendKey[] = "fuzz-send-key-16";
const char kReceiveKey[] = "fuzz-recv-key-16";

// Reads every byte it is given, so that the sanitizers see any read past the bounds.
class TouchingClient : public ProcessClient {
 public:
  ~TouchingClient() override { ReleaseConnections(); }
  void OnMessage(const uint8_t* message, uint32_t length) override { Touch(message, length); }
  void OnClientDisconnect(const char* text, int32_t code) override {
    sum_ += static_cast<uint32_t>(code) + static_cast<uint32_t>(std::strlen(text));
  }
  void OnLogin(int32_t error_code, const uint8_t* records, uint32_t records_length) override {
    sum_ += static_cast<uint32_t>(error_code);
    Touch(records, records_length);
  }
  void OnSessionNotice(int32_t error_code) override { sum_ += static_cast<uint32_t>(error_code); }
  // Exercises the send path (it stops short of the transport, which is not connected).
  void OnAuthentLink(int32_t error_code) override {
    if (error_code == 0) SendLogin();
  }

 private:
  void Touch(const uint8_t* p, uint32_t n) {
    for (uint32_t i = 0; i < n; ++i) sum_ += p[i];
  }
  volatile uint32_t sum_ = 0;
};

struct Fixture {
  Fixture() {
    ProcessClientPeer::NewConnection(client);
    session = ProcessClientPeer::session(client);
  }
  TouchingClient client;
  Protocol* session = nullptr;
  TcpReceiveBuffer buffer;
  uint8_t stream[TcpReceiveBuffer::kSize];
  uint8_t frame[kFrameBufferSize];
};

// Delivers `data` in pieces of `piece` bytes the way the receive loop does.
void Deliver(Fixture* f, const uint8_t* data, size_t size, size_t piece) {
  f->buffer.Reset();
  size_t pos = 0;
  while (pos < size) {
    if (f->buffer.Full()) return;  // the transport would close here
    size_t n = size - pos;
    if (n > piece) n = piece;
    if (n > f->buffer.FreeLength()) n = f->buffer.FreeLength();
    std::memcpy(f->buffer.FreeSpace(), data + pos, n);
    f->buffer.Commit(static_cast<uint32_t>(n));
    pos += n;
    int used = f->session->ParseFrames(f->buffer.Unconsumed(), f->buffer.UnconsumedLength());
    if (used < 0 || static_cast<uint32_t>(used) > f->buffer.UnconsumedLength()) __builtin_trap();
    f->buffer.Consume(static_cast<uint32_t>(used));
  }
}

// Input: repeated [type][length low][length high][message bytes]; each message is framed with
// the type's key. Returns the stream length.
size_t BuildStream(Fixture* f, const FrameCodec& codec, const uint8_t* data, size_t size) {
  size_t out = 0;
  size_t pos = 0;
  while (pos + 3 <= size) {
    char type = static_cast<char>('1' + data[pos] % 6);
    size_t length = data[pos + 1] | (data[pos + 2] << 8);
    pos += 3;
    if (length > size - pos) length = size - pos;
    const CipherContext* context =
        (type == '3' || type == '4') ? &codec.fixed_context() : &codec.receive_context();
    size_t n = BuildFrame(data + pos, length, type, context, f->frame);
    pos += length;
    if (n == 0 || n > sizeof f->stream - out) continue;
    std::memcpy(f->stream + out, f->frame, n);
    out += n;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Fixture* fixture = new Fixture;
  if (size < 2) return 0;
  // Fresh keys for every input, so that a key installed by one input does not leak into the next:
  // whole 16-byte keys leave nothing of the earlier ones.
  FrameCodec& codec = fixture->session->codec();
  codec.SetSessionKeys(reinterpret_cast<const uint8_t*>(kSendKey), 16,
                       reinterpret_cast<const uint8_t*>(kReceiveKey), 16);

  uint8_t mode = data[0];
  size_t piece = 1 + data[1] * 97;  // from single bytes to large pieces
  data += 2;
  size -= 2;
  if (mode & 1) {
    size_t n = BuildStream(fixture, codec, data, size);
    Deliver(fixture, fixture->stream, n, piece);
  } else {
    Deliver(fixture, data, size, piece);
    fixture->session->Dispatch(data, static_cast<uint32_t>(size));
  }
  return 0;
}
