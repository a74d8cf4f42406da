// The transport callbacks of a connection bundle.
#include "net/tcp_socket.h"

#include "net/process_client.h"
#include "net/protocol.h"

bool TcpSocket::OnConnect(TTcp*) {
  if (session_ == nullptr) return true;
  session_->SetLinked(true);
  // Without it the service never answers: the connect has failed.
  return session_->SendAuthentLink();
}

void TcpSocket::OnDisconnect(TTcp*) {
  if (session_ == nullptr) return;
  session_->SetLinked(false);
  if (ProcessClient* client = session_->client()) {
    client->OnClientDisconnect(kDisconnectProxyErrorText, kDisconnectProxyError);
  }
}

int TcpSocket::OnRecv(TTcp*, const uint8_t* data, uint32_t length) {
  // Without a session nobody wants the bytes: they are taken and dropped.
  if (session_ == nullptr) return static_cast<int>(length);
  return session_->ParseFrames(data, length);
}
