#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include <boost/asio/socket_base.hpp>

#include "transport/HttpIoPool.h"
#include "transport/RequestMemoryBudget.h"
#include "transport/RequestRouter.h"
#include "transport/TROHTTPDispatcher.h"
#include "transport/TransportErrorReporter.h"

namespace qit {

class HttpListener;

// The listen backlog of a listener unless set otherwise: as long as the system allows
// (net.core.somaxconn caps it). Clients that connect and reconnect for every request fill a
// short backlog at once under load; every connection it turns away waits a retransmission
// of at least a second before it gets in.
inline constexpr int kDefaultListenQueue = boost::asio::socket_base::max_listen_connections;

// Resource limits of a listener.
struct HttpServerLimits {
  // A connection that sends nothing for this long is closed; zero: no limit.
  std::chrono::seconds read_timeout{60};
  // The whole request, head and body, must have arrived this long after the connection was
  // accepted, or the connection is closed: the read timeout alone starts again with every
  // byte, so a client sending a byte now and then would hold its connection for ever. Zero:
  // no limit.
  std::chrono::seconds request_timeout{120};
  // A larger request body is answered with 413 and not read further.
  std::size_t max_body_bytes = 64u * 1024 * 1024;
  // Connections served at once; further ones wait in the listen backlog. Zero: no limit.
  std::size_t max_connections = 1024;
  // Connections served at once for one client address, so that one client cannot take every
  // place of max_connections; one more from that address is closed at once. Zero: no limit.
  std::size_t max_connections_per_client = 256;
  // The bytes that bodies being read may take at once, shared by every listener given the
  // same budget; a request that does not fit is answered with 503. Null: no such limit.
  std::shared_ptr<RequestMemoryBudget> request_memory;
};

// An HTTP listener on one TCP port. It reads one request per connection, answers it through
// its dispatcher table or its built-in pages, and closes the connection. Its methods are
// called from one thread (the host's), never from the I/O pool's threads. The pool outlives
// it.
class TROHTTPServer {
 public:
  TROHTTPServer(HttpIoPool& pool, std::shared_ptr<const TROHTTPMessageDispatchers> dispatchers);
  // Deactivates first, waiting a short time at most: the owner's own stop (Deactivate or
  // SetActive(false)) is where waiting belongs. Connections still open live on by themselves
  // until they end or the pool stops.
  ~TROHTTPServer();
  TROHTTPServer(const TROHTTPServer&) = delete;
  TROHTTPServer& operator=(const TROHTTPServer&) = delete;

  // Settings take effect at the next activation.
  const std::string& Name() const { return name_; }
  void SetName(std::string name) { name_ = std::move(name); }
  int Port() const { return port_; }  // 0: a port chosen by the system
  void SetPort(int port) { port_ = port; }
  int Tag() const { return tag_; }
  void SetTag(int tag) { tag_ = tag; }
  bool ServeRodl() const { return options_.serve_rodl; }
  void SetServeRodl(bool on) { options_.serve_rodl = on; }
  bool ServeInfoPage() const { return options_.serve_info_page; }
  void SetServeInfoPage(bool on) { options_.serve_info_page = on; }
  bool SendExceptionsAs500() const { return options_.send_exceptions_as_500; }
  void SetSendExceptionsAs500(bool on) { options_.send_exceptions_as_500 = on; }
  int ListenQueue() const { return listen_queue_; }
  void SetListenQueue(int backlog) { listen_queue_ = backlog; }
  std::chrono::milliseconds TerminateWaitTime() const { return terminate_wait_time_; }
  void SetTerminateWaitTime(std::chrono::milliseconds wait) { terminate_wait_time_ = wait; }
  const HttpServerLimits& Limits() const { return limits_; }
  void SetLimits(const HttpServerLimits& limits) { limits_ = limits; }
  const TROHTTPMessageDispatchers& Dispatchers() const { return *dispatchers_; }
  // Where this listener reports failed accepts, reads and writes and requests that could not
  // be handled; empty: the pool's sink.
  void SetErrorSink(TransportErrorSink sink) { error_sink_ = std::move(sink); }
  // The one local address to bind (IPv4 or IPv6 text); empty, the default: every local address.
  const std::string& BindAddress() const { return bind_address_; }
  void SetBindAddress(std::string address) { bind_address_ = std::move(address); }
  // Answers every request itself in place of the dispatchers and the built-in pages (see
  // HttpServeOptions::handler); empty, the default: the dispatchers and pages.
  void SetRequestHandler(std::function<HttpResponse(const HttpRequest&)> handler) {
    options_.handler = std::move(handler);
  }

  // true: binds the port on every local address, IPv6 and IPv4 (IPv4 alone where the system
  // has no IPv6), and accepts at once; a port in use fails with "Could not bind socket.
  // Address and port are already in use.". false: stops accepting, disconnects every open
  // connection and waits for them, at most TerminateWaitTime; longer fails with "Terminate
  // Thread Timeout".
  void SetActive(bool active);
  // Stops accepting, disconnects every open connection and waits until all have ended and
  // the port is released, at most until deadline. false when connections were still open
  // then: they keep what they use and end by themselves (a request whose handler has not
  // completed ends when it completes, or when the pool stops). Inactive afterwards either
  // way; true at once when inactive.
  bool Deactivate(std::chrono::steady_clock::time_point deadline);
  bool Active() const { return listener_ != nullptr; }
  // The port bound while active (the system's choice when Port is 0); 0 when inactive.
  int BoundPort() const;
  // Connections being served now, also those of an activation that is still stopping. Any
  // thread may ask.
  std::size_t OpenConnections() const { return open_connections_->load(std::memory_order_relaxed); }

 private:
  HttpIoPool& pool_;
  std::shared_ptr<const TROHTTPMessageDispatchers> dispatchers_;
  std::string name_;
  int port_ = 0;
  int tag_ = 0;
  int listen_queue_ = kDefaultListenQueue;
  std::chrono::milliseconds terminate_wait_time_{5000};
  HttpServeOptions options_;
  HttpServerLimits limits_;
  TransportErrorSink error_sink_;
  std::string bind_address_;
  const std::shared_ptr<std::atomic<std::size_t>> open_connections_ = std::make_shared<std::atomic<std::size_t>>(0);
  std::shared_ptr<HttpListener> listener_;
};

}  // namespace qit
