// Setting up, keeping and stopping the connection bundles of a ProcessClient.
#include "net/connection_bundle.h"

#include "net/process_client.h"

ConnectionBundle::ConnectionBundle(ProcessClient* client) {
  protocol.SetCodec(&codec);
  protocol.SetClient(client);
  socket.SetSession(&protocol);
  codec.SetTransport(&socket.tcp());
}

ConnectionBundle::~ConnectionBundle() { Stop(); }

void ConnectionBundle::Stop() {
  protocol.StopAndJoin();
  socket.tcp().StopAndJoin();
  // No report: whoever stops the bundle no longer wants to hear from it.
  socket.tcp().SetNotify(nullptr);
  socket.tcp().Close();
}

ProcessClient::ProcessClient() = default;

ProcessClient::~ProcessClient() { StopConnections(); }

void ProcessClient::CreateConnection() {
  auto bundle = std::make_unique<ConnectionBundle>(this);
  codec_ = &bundle->codec;
  socket_ = &bundle->socket;
  session_ = &bundle->protocol;
  logged_in_ = false;
  bundles_.push_back(std::move(bundle));
}

void ProcessClient::StopConnections() {
  for (auto& bundle : bundles_) bundle->Stop();
}
