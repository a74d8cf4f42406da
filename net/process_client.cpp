// A ProcessClient's connections: each one a codec, a socket (with its TTcp) and a session, linked
// to each other and to the client.
#include "net/process_client.h"

#include "net/frame_codec.h"
#include "net/protocol.h"
#include "net/tcp.h"
#include "net/tcp_socket.h"

struct ConnectionBundle {
  // Links protocol to codec and client, socket to protocol, codec to the socket's TTcp.
  explicit ConnectionBundle(ProcessClient* client) {
    protocol.SetCodec(&codec);
    protocol.SetClient(client);
    socket.SetSession(&protocol);
    codec.SetTransport(&socket.tcp());
  }
  // Ends the session's and the transport's threads before any member goes.
  ~ConnectionBundle() { Release(); }
  ConnectionBundle(const ConnectionBundle&) = delete;
  ConnectionBundle& operator=(const ConnectionBundle&) = delete;

  // Ends both threads and waits for them; the transport's socket is released without a report,
  // since whoever releases the bundle no longer wants to hear from it.
  void Release() {
    protocol.StopAndJoin();
    socket.tcp().StopAndJoin();
    socket.tcp().SetNotify(nullptr);
    socket.tcp().Close();
  }

  FrameCodec codec;
  Protocol protocol;
  TcpSocket socket;
};

ProcessClient::ProcessClient() = default;

ProcessClient::~ProcessClient() { ReleaseConnections(); }

void ProcessClient::NewConnection() {
  auto bundle = std::make_unique<ConnectionBundle>(this);
  codec_ = &bundle->codec;
  socket_ = &bundle->socket;
  session_ = &bundle->protocol;
  logged_in_ = false;
  bundles_.push_back(std::move(bundle));
}

bool ProcessClient::Connect(const char* address, uint16_t port, const AccountRecord* account) {
  NewConnection();
  if (port != 0 && address != nullptr) codec_->SetServer(address, port);
  return codec_->Connect(account);
}

bool ProcessClient::Send(const uint8_t* message, size_t length, char type) {
  return codec_ != nullptr && codec_->SendFrame(message, length, type);
}

bool ProcessClient::SendLogin() { return codec_ != nullptr && codec_->SendLogin(); }

void ProcessClient::CloseConnection() {
  if (session_ != nullptr) session_->SetStop(true);
  if (socket_ != nullptr) socket_->tcp().Close();
}

bool ProcessClient::IsConnected() const {
  return socket_ != nullptr && socket_->tcp().IsConnected();
}

uint64_t ProcessClient::BytesReceived() const {
  return socket_ != nullptr ? socket_->tcp().BytesReceived() : 0;
}

void ProcessClient::ReleaseConnections() {
  for (auto& bundle : bundles_) bundle->Release();
}
