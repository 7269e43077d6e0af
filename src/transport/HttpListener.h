#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

#include "transport/TROHTTPServer.h"

namespace qit {

class HttpSession;

struct HttpListenerSettings {
  int port = 0;
  int listen_queue = kDefaultListenQueue;
  HttpServeOptions options;
  HttpServerLimits limits;
};

// The accepting side of one activation of a listener, and the registry of its open
// connections. Shared with its connections, so it outlives the last of them.
//
// The listening socket is accepted from on every loop of the pool, each through its own
// descriptor of the socket; a connection is served on the loop that accepted it.
class HttpListener : public std::enable_shared_from_this<HttpListener> {
 public:
  HttpListener(HttpIoPool& pool, HttpListenerSettings settings,
               std::shared_ptr<const TROHTTPMessageDispatchers> dispatchers);

  // Binds the port and listens; raises when the port cannot be bound.
  void Open();
  void Start();
  // Stops accepting, disconnects every open connection and waits until all have ended and
  // the port is released: at most wait when given. false when the wait ran out.
  bool Stop(std::optional<std::chrono::milliseconds> wait);

  int BoundPort() const { return bound_port_; }
  const HttpListenerSettings& Settings() const { return settings_; }
  const TROHTTPMessageDispatchers& Dispatchers() const { return *dispatchers_; }

  // Called by a connection as it ends.
  void SessionEnded(HttpSession* session);

 private:
  // The accepting on one loop. Its members are used on that loop's thread only, paused
  // under the listener's lock.
  struct Acceptor {
    explicit Acceptor(boost::asio::io_context& io) : acceptor(io), retry_timer(io) {}
    boost::asio::ip::tcp::acceptor acceptor;
    boost::asio::ip::tcp::endpoint peer;  // the address of the connection being accepted
    boost::asio::steady_timer retry_timer;
    bool paused = false;  // at the connection limit: resumed when a connection ends
  };
  // A connection taken while the limit was reached on another loop: it waits, unread, for
  // a place.
  struct Waiting {
    boost::asio::ip::tcp::socket socket;
    std::string peer_address;
  };

  void DoAccept(Acceptor& acceptor);
  void OnAccept(Acceptor& acceptor, boost::system::error_code error, boost::asio::ip::tcp::socket socket);
  // Starts a connection (or keeps it waiting at the limit); false when this acceptor must
  // stop accepting for now (stopping, or at the limit).
  bool Serve(Acceptor& acceptor, boost::asio::ip::tcp::socket socket, std::string peer_address);
  // A new connection registered under the lock; nullptr when it must wait.
  std::shared_ptr<HttpSession> Admit(boost::asio::ip::tcp::socket& socket, std::string& peer_address);
  bool AtLimit() const;
  bool Finished() const { return acceptors_closed_ == acceptors_.size() && sessions_.empty(); }

  HttpIoPool& pool_;
  const HttpListenerSettings settings_;
  const std::shared_ptr<const TROHTTPMessageDispatchers> dispatchers_;
  std::vector<std::unique_ptr<Acceptor>> acceptors_;  // one per loop, made by Open
  int bound_port_ = 0;

  std::mutex mutex_;
  std::condition_variable finished_;
  std::unordered_map<HttpSession*, std::weak_ptr<HttpSession>> sessions_;
  std::deque<Waiting> waiting_;
  bool stopping_ = false;
  std::size_t acceptors_closed_ = 0;
};

}  // namespace qit
