#include "transport/HttpListener.h"

#include <boost/asio/ip/v6_only.hpp>
#include <vector>

#include <fmt/format.h>

#include "common/Errors.h"
#include "transport/HttpSession.h"

namespace qit {

namespace net = boost::asio;
using tcp = net::ip::tcp;

namespace {

// After a failed accept (for example no file descriptor left) the listener tries again
// after this pause rather than spinning or giving up.
constexpr std::chrono::milliseconds kAcceptRetryDelay{100};

constexpr std::string_view kAcceptLocation = "HttpListener.Accept";
constexpr std::string_view kClientLimitLocation = "HttpListener.ClientLimit";

[[noreturn]] void ThrowBindError(const boost::system::error_code& error) {
  if (error == net::error::address_in_use)
    throw Exception("Could not bind socket. Address and port are already in use.", "ESocketError");
  throw Exception("Could not bind socket. " + error.message(), "ESocketError");
}

// A connection that the client gave up on before it was taken: nothing to tell anyone.
bool IsClientGone(const boost::system::error_code& error) {
  return error == net::error::connection_aborted || error == net::error::connection_reset;
}

// The address a client is known by. An IPv4 client of the dual-stack socket arrives as an
// IPv4-mapped IPv6 address (::ffff:10.1.1.5); it is the IPv4 client 10.1.1.5 all the same.
std::string ClientAddress(const net::ip::address& address) {
  if (address.is_v6() && address.to_v6().is_v4_mapped())
    return net::ip::make_address_v4(net::ip::v4_mapped, address.to_v6()).to_string();
  return address.to_string();
}

}  // namespace

HttpListener::HttpListener(HttpIoPool& pool, HttpListenerSettings settings,
                           std::shared_ptr<const TROHTTPMessageDispatchers> dispatchers)
    : pool_(pool),
      gate_(pool.LoopGate()),
      settings_(std::move(settings)),
      dispatchers_(std::move(dispatchers)),
      acceptor_(pool.AcceptContext()),
      retry_timer_(acceptor_.get_executor()) {}

void HttpListener::Open() {
  const auto port = static_cast<unsigned short>(settings_.port);
  // One socket on "::" with IPV6_V6ONLY off takes IPv6 and IPv4 callers alike. Where the
  // system has no IPv6 that fails, and IPv4 alone is bound; a port in use is in use for both.
  boost::system::error_code error;
  if (!settings_.address.empty()) {
    const net::ip::address address = net::ip::make_address(settings_.address, error);
    if (error) throw Exception("Could not bind socket. Invalid address " + settings_.address, "ESocketError");
    Bind(tcp::endpoint(address, port), error);
  } else if (!Bind(tcp::endpoint(net::ip::address_v6::any(), port), error) && error != net::error::address_in_use) {
    error.clear();
    Bind(tcp::endpoint(net::ip::address_v4::any(), port), error);
  }
  if (error) ThrowBindError(error);
  acceptor_.listen(settings_.listen_queue, error);
  if (error) ThrowBindError(error);
  bound_port_ = acceptor_.local_endpoint().port();
}

bool HttpListener::Bind(const tcp::endpoint& endpoint, boost::system::error_code& error) {
  acceptor_.open(endpoint.protocol(), error);
  if (!error && endpoint.protocol() == tcp::v6()) acceptor_.set_option(net::ip::v6_only(false), error);
  if (!error) acceptor_.set_option(net::socket_base::reuse_address(true), error);
  if (!error) acceptor_.bind(endpoint, error);
  if (!error) return true;
  boost::system::error_code ignored;  // the error that matters is the one above
  acceptor_.close(ignored);
  return false;
}

void HttpListener::Start() {
  if (!PostThrough(*gate_, acceptor_.get_executor(), [self = shared_from_this()] { self->DoAccept(); }))
    throw Exception("The HTTP thread pool has stopped");
}

void HttpListener::ReportError(std::string_view location, const std::exception& error) noexcept {
  pool_.Errors().Report(location, error, settings_.error_sink);
}

void HttpListener::ReportError(std::string_view location, const std::exception_ptr& error) noexcept {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& reported) {
    ReportError(location, reported);
  } catch (...) {
    ReportError(location, Exception("An error of unknown type"));
  }
}

void HttpListener::DoAccept() {
  // The connection is made on the serving loop that will serve it. Connections already
  // waiting are taken one after the other without a wait: the accept is tried at once, and
  // only when none is left does the accepting thread wait for the next.
  try {
    acceptor_.async_accept(pool_.NextContext().get_executor(), peer_,
                           [self = shared_from_this()](boost::system::error_code error, tcp::socket socket) {
                             self->OnAccept(error, std::move(socket));
                           });
  } catch (const std::exception& error) {
    ReportError(kAcceptLocation, error);
    RetryAccept();
  }
}

void HttpListener::RetryAccept() {
  retry_timer_.expires_after(kAcceptRetryDelay);
  retry_timer_.async_wait([self = shared_from_this()](boost::system::error_code wait_error) {
    if (!wait_error) self->DoAccept();
  });
}

void HttpListener::OnAccept(boost::system::error_code error, tcp::socket socket) {
  if (error == net::error::operation_aborted) return;
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
  }
  if (error) {
    if (IsClientGone(error)) return DoAccept();
    ReportError(kAcceptLocation, Exception(error.message(), "ESocketError"));
    return RetryAccept();
  }
  bool more;
  try {
    more = Serve(std::move(socket), peer_);
  } catch (const std::exception& failure) {
    // No memory for the connection, most likely: it is dropped, and the next is taken after
    // a pause.
    ReportError(kAcceptLocation, failure);
    return RetryAccept();
  }
  if (more) DoAccept();
}

bool HttpListener::Serve(tcp::socket socket, const tcp::endpoint& peer) {
  const std::string address = ClientAddress(peer.address());
  const std::size_t client_limit = settings_.limits.max_connections_per_client;
  bool refused = false;
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return false;  // the socket closes as it goes out of scope
    // Only this thread adds connections: a client under its limit now is still under it
    // when its session is registered below.
    if (client_limit > 0) {
      const auto open = client_connections_.find(address);
      refused = open != client_connections_.end() && open->second >= client_limit;
    }
  }
  if (refused) {
    boost::system::error_code ignored;  // the client is turned away either way
    socket.close(ignored);
    ReportRefusedClient(address);
    return true;
  }
  // Made outside the lock: a session that is dropped ends by telling the listener, which
  // takes the lock. It counts once it is registered.
  const auto session = std::make_shared<HttpSession>(std::move(socket), address, shared_from_this());
  bool paused;
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return false;
    sessions_.emplace(session.get(), OpenSession{session, address});
    try {
      ++client_connections_[address];
    } catch (...) {
      sessions_.erase(session.get());  // not counted, so not registered
      throw;
    }
    if (settings_.open_connections) settings_.open_connections->fetch_add(1, std::memory_order_relaxed);
    const std::size_t limit = settings_.limits.max_connections;
    paused = accept_paused_ = limit > 0 && sessions_.size() >= limit;
  }
  session->Run();
  return !paused;
}

void HttpListener::ReportRefusedClient(const std::string& address) {
  ReportError(kClientLimitLocation,
              Exception(fmt::format("Conexão de {} na porta {} recusada: o cliente já tem {} conexões abertas "
                                    "(MaximoConexoesPorCliente)",
                                    address, bound_port_, settings_.limits.max_connections_per_client),
                        "ESocketError"));
}

void HttpListener::SessionAnswered(HttpSession* session) {
  std::lock_guard lock(mutex_);
  const auto answered = sessions_.find(session);
  if (answered != sessions_.end()) Uncount(answered->second);
}

void HttpListener::Uncount(OpenSession& session) {
  if (!session.counted) return;
  session.counted = false;
  const auto client = client_connections_.find(session.client_address);
  if (client != client_connections_.end() && --client->second == 0) client_connections_.erase(client);
}

void HttpListener::SessionEnded(HttpSession* session) {
  bool resume = false;
  {
    std::lock_guard lock(mutex_);
    const auto ended = sessions_.find(session);
    if (ended == sessions_.end()) return;  // never registered
    Uncount(ended->second);
    sessions_.erase(ended);
    if (settings_.open_connections) settings_.open_connections->fetch_sub(1, std::memory_order_relaxed);
    if (accept_paused_ && !stopping_) {
      accept_paused_ = false;
      resume = true;
    }
    if (stopping_ && Finished()) finished_.notify_all();
  }
  // Not once the pool has stopped: the connection is then being dropped with the pool's work.
  if (resume) PostThrough(*gate_, acceptor_.get_executor(), [self = shared_from_this()] { self->DoAccept(); });
}

void HttpListener::CloseAcceptor() {
  boost::system::error_code ignored;  // closing a socket that failed cannot be helped
  acceptor_.close(ignored);
  retry_timer_.cancel();
  std::lock_guard lock(mutex_);
  acceptor_closed_ = true;
  if (Finished()) finished_.notify_all();
}

bool HttpListener::Stop(std::chrono::steady_clock::time_point deadline) {
  std::vector<std::shared_ptr<HttpSession>> open;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    for (const auto& [key, entry] : sessions_)
      if (auto alive = entry.session.lock()) open.push_back(std::move(alive));
  }
  // Once the pool has stopped no thread runs its loops and its work, connections included,
  // is gone: the acceptor is closed here.
  if (!PostThrough(*gate_, acceptor_.get_executor(), [self = shared_from_this()] { self->CloseAcceptor(); }))
    CloseAcceptor();
  for (const std::shared_ptr<HttpSession>& session : open) session->Close();
  open.clear();

  std::unique_lock lock(mutex_);
  return finished_.wait_until(lock, deadline, [this] { return Finished(); });
}

}  // namespace qit
