#include "transport/TROHTTPServer.h"

#include <algorithm>

#include <fmt/format.h>

#include "common/Errors.h"
#include "transport/HttpListener.h"

namespace qit {

namespace {

// How long the destructor waits for open connections, at most.
constexpr std::chrono::milliseconds kDestructorWait{1000};

}  // namespace

TROHTTPServer::TROHTTPServer(HttpIoPool& pool, std::shared_ptr<const TROHTTPMessageDispatchers> dispatchers)
    : pool_(pool), dispatchers_(std::move(dispatchers)) {}

TROHTTPServer::~TROHTTPServer() {
  Deactivate(std::chrono::steady_clock::now() + std::min(terminate_wait_time_, kDestructorWait));
}

void TROHTTPServer::SetActive(bool active) {
  if (active == Active()) return;
  if (active) {
    if (port_ < 0 || port_ > 65535) throw Exception(fmt::format("Invalid port {}", port_), "ESocketError");
    auto listener = std::make_shared<HttpListener>(
        pool_, HttpListenerSettings{port_, bind_address_, listen_queue_, options_, limits_, error_sink_, open_connections_}, dispatchers_);
    listener->Open();
    listener->Start();
    listener_ = std::move(listener);
    return;
  }
  if (!Deactivate(std::chrono::steady_clock::now() + terminate_wait_time_)) throw Exception("Terminate Thread Timeout");
}

bool TROHTTPServer::Deactivate(std::chrono::steady_clock::time_point deadline) {
  if (!listener_) return true;
  const std::shared_ptr<HttpListener> listener = std::move(listener_);
  return listener->Stop(deadline);
}

int TROHTTPServer::BoundPort() const { return listener_ ? listener_->BoundPort() : 0; }

}  // namespace qit
