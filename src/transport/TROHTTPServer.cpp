#include "transport/TROHTTPServer.h"

#include <fmt/format.h>

#include "common/Errors.h"
#include "transport/HttpListener.h"

namespace qit {

TROHTTPServer::TROHTTPServer(HttpIoPool& pool, std::shared_ptr<const TROHTTPMessageDispatchers> dispatchers)
    : pool_(pool), dispatchers_(std::move(dispatchers)) {}

TROHTTPServer::~TROHTTPServer() {
  // No time limit here: connections still running hold the dispatchers' handlers, which
  // must not be destroyed under them.
  if (listener_) listener_->Stop(std::nullopt);
}

void TROHTTPServer::SetActive(bool active) {
  if (active == Active()) return;
  if (active) {
    if (port_ < 0 || port_ > 65535) throw Exception(fmt::format("Invalid port {}", port_), "ESocketError");
    auto listener =
        std::make_shared<HttpListener>(pool_, HttpListenerSettings{port_, listen_queue_, options_, limits_}, dispatchers_);
    listener->Open();
    listener->Start();
    listener_ = std::move(listener);
    return;
  }
  const std::shared_ptr<HttpListener> listener = std::move(listener_);
  if (!listener->Stop(terminate_wait_time_)) throw Exception("Terminate Thread Timeout");
}

int TROHTTPServer::BoundPort() const { return listener_ ? listener_->BoundPort() : 0; }

}  // namespace qit
