// A ProcessClient's connections, one Protocol each, and the install log line of every attempt.
#include "net/process_client.h"

#include <cstdio>

#include "core/install_log.h"
#include "net/protocol.h"

ProcessClient::ProcessClient() = default;

ProcessClient::~ProcessClient() { ReleaseConnections(); }

void ProcessClient::NewConnection() {
  sessions_.push_back(std::make_unique<Protocol>(*this));
  session_ = sessions_.back().get();
  logged_in_ = false;
}

bool ProcessClient::Connect(const char* address, uint16_t port, const AccountRecord* account) {
  NewConnection();
  const bool connected = session_->Connect(address, port, account);
  char line[64];
  std::snprintf(line, sizeof line, "SocketSend_ip:%s__port:%d", session_->server_address(),
                static_cast<int>(session_->server_port()));
  WriteLog(line);
  return connected;
}

bool ProcessClient::Send(const uint8_t* message, size_t length, char type) {
  return session_ != nullptr && session_->Send(message, length, type);
}

bool ProcessClient::SendLogin() { return session_ != nullptr && session_->SendLogin(); }

void ProcessClient::CloseConnection() {
  if (session_ != nullptr) session_->Close();
}

bool ProcessClient::IsConnected() const { return session_ != nullptr && session_->IsConnected(); }

uint64_t ProcessClient::BytesReceived() const {
  return session_ != nullptr ? session_->BytesReceived() : 0;
}

void ProcessClient::ReleaseConnections() {
  for (auto& session : sessions_) session->Release();
}
