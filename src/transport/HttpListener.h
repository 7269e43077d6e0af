#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "transport/TROHTTPServer.h"

namespace qit {

class HttpSession;

struct HttpListenerSettings {
  int port = 0;
  std::string address;  // the one local address to bind; empty: every local address
  int listen_queue = kDefaultListenQueue;
  HttpServeOptions options;
  HttpServerLimits limits;
  TransportErrorSink error_sink;  // empty: the pool's
  // Connections being served, kept up to date by the listener; null: not counted.
  std::shared_ptr<std::atomic<std::size_t>> open_connections;
};

// The accepting side of one activation of a listener, and the registry of its open
// connections. Shared with its connections, so it outlives the last of them.
class HttpListener : public std::enable_shared_from_this<HttpListener> {
 public:
  // Connections are accepted on the pool's accepting loop and served on its serving loops.
  HttpListener(HttpIoPool& pool, HttpListenerSettings settings,
               std::shared_ptr<const TROHTTPMessageDispatchers> dispatchers);

  // Binds the port on every local address and listens: one socket for IPv6 and IPv4 alike,
  // or IPv4 alone where the system has no IPv6; on the settings' address alone when one is
  // given. Raises when the port cannot be bound.
  void Open();
  // Starts accepting; raises when the pool has stopped.
  void Start();
  // Stops accepting, disconnects every open connection and waits until all have ended and
  // the port is released, at most until deadline. false when the wait ran out.
  bool Stop(std::chrono::steady_clock::time_point deadline);

  int BoundPort() const { return bound_port_; }
  const HttpListenerSettings& Settings() const { return settings_; }
  const TROHTTPMessageDispatchers& Dispatchers() const { return *dispatchers_; }
  const std::shared_ptr<Gate>& LoopGate() const { return gate_; }

  // Reports an error of this listener or one of its connections, rate-limited.
  void ReportError(std::string_view location, const std::exception& error) noexcept;
  void ReportError(std::string_view location, const std::exception_ptr& error) noexcept;

  // Called by a connection whose answer is being written and which reads nothing more: it
  // no longer counts against its client's limit, as the client may connect again at once.
  void SessionAnswered(HttpSession* session);
  // Called by a connection as it ends.
  void SessionEnded(HttpSession* session);

 private:
  // Opens and binds the acceptor on endpoint; on failure it is left closed.
  bool Bind(const boost::asio::ip::tcp::endpoint& endpoint, boost::system::error_code& error);
  void DoAccept();
  void OnAccept(boost::system::error_code error, boost::asio::ip::tcp::socket socket);
  // Tries the accept again after a pause.
  void RetryAccept();
  // Starts a connection, or closes it at once when its client already has as many open as
  // it may; false when no more may be accepted now (stopping, or at the limit).
  bool Serve(boost::asio::ip::tcp::socket socket, const boost::asio::ip::tcp::endpoint& peer);
  void ReportRefusedClient(const std::string& address);
  struct OpenSession;
  // The session stops counting against its client's limit. Under the lock.
  void Uncount(OpenSession& session);
  void CloseAcceptor();
  bool Finished() const { return acceptor_closed_ && sessions_.empty(); }

  HttpIoPool& pool_;
  const std::shared_ptr<Gate> gate_;
  const HttpListenerSettings settings_;
  const std::shared_ptr<const TROHTTPMessageDispatchers> dispatchers_;
  boost::asio::ip::tcp::acceptor acceptor_;  // used on the accepting thread only, after Open
  boost::asio::ip::tcp::endpoint peer_;      // the address of the connection being accepted
  boost::asio::steady_timer retry_timer_;    // on the accepting thread
  int bound_port_ = 0;

  std::mutex mutex_;
  std::condition_variable finished_;
  struct OpenSession {
    std::weak_ptr<HttpSession> session;
    std::string client_address;
    bool counted = true;  // in client_connections_
  };
  std::unordered_map<HttpSession*, OpenSession> sessions_;
  // Open connections per client address, for exactly the sessions in sessions_ that are
  // counted; an address leaves when its last counted connection ends.
  std::unordered_map<std::string, std::size_t> client_connections_;
  bool stopping_ = false;
  bool acceptor_closed_ = false;
  bool accept_paused_ = false;  // at the connection limit; resumed when one ends
};

}  // namespace qit
