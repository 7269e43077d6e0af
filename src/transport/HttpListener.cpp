#include "transport/HttpListener.h"

#include <boost/asio/post.hpp>
#include <vector>

#include "common/Errors.h"
#include "transport/HttpSession.h"

namespace qit {

namespace net = boost::asio;
using tcp = net::ip::tcp;

namespace {

// After a failed accept (for example no file descriptor left) the listener tries again
// after this pause rather than spinning or giving up.
constexpr std::chrono::milliseconds kAcceptRetryDelay{100};

[[noreturn]] void ThrowBindError(const boost::system::error_code& error) {
  if (error == net::error::address_in_use)
    throw Exception("Could not bind socket. Address and port are already in use.", "ESocketError");
  throw Exception("Could not bind socket. " + error.message(), "ESocketError");
}

}  // namespace

HttpListener::HttpListener(HttpIoPool& pool, HttpListenerSettings settings,
                           std::shared_ptr<const TROHTTPMessageDispatchers> dispatchers)
    : pool_(pool),
      settings_(std::move(settings)),
      dispatchers_(std::move(dispatchers)),
      acceptor_(pool.AcceptContext()),
      retry_timer_(acceptor_.get_executor()) {}

void HttpListener::Open() {
  const tcp::endpoint endpoint(tcp::v4(), static_cast<unsigned short>(settings_.port));
  boost::system::error_code error;
  acceptor_.open(endpoint.protocol(), error);
  if (!error) acceptor_.set_option(net::socket_base::reuse_address(true), error);
  if (!error) acceptor_.bind(endpoint, error);
  if (error) ThrowBindError(error);
  acceptor_.listen(settings_.listen_queue, error);
  if (error) ThrowBindError(error);
  bound_port_ = acceptor_.local_endpoint().port();
}

void HttpListener::Start() {
  net::post(acceptor_.get_executor(), [self = shared_from_this()] { self->DoAccept(); });
}

void HttpListener::DoAccept() {
  // The connection is made on the serving loop that will serve it. Connections already
  // waiting are taken one after the other without a wait: the accept is tried at once, and
  // only when none is left does the accepting thread wait for the next.
  acceptor_.async_accept(pool_.NextContext().get_executor(), peer_,
                         [self = shared_from_this()](boost::system::error_code error, tcp::socket socket) {
                           self->OnAccept(error, std::move(socket));
                         });
}

void HttpListener::OnAccept(boost::system::error_code error, tcp::socket socket) {
  if (error) {
    if (error == net::error::operation_aborted) return;
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    retry_timer_.expires_after(kAcceptRetryDelay);
    retry_timer_.async_wait([self = shared_from_this()](boost::system::error_code wait_error) {
      if (!wait_error) self->DoAccept();
    });
    return;
  }
  if (Serve(std::move(socket), peer_)) DoAccept();
}

bool HttpListener::Serve(tcp::socket socket, const tcp::endpoint& peer) {
  std::shared_ptr<HttpSession> session;
  bool paused;
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return false;  // the socket closes as it goes out of scope
    session = std::make_shared<HttpSession>(std::move(socket), peer.address().to_string(), shared_from_this());
    sessions_.emplace(session.get(), session);
    const std::size_t limit = settings_.limits.max_connections;
    paused = accept_paused_ = limit > 0 && sessions_.size() >= limit;
  }
  session->Run();
  return !paused;
}

void HttpListener::SessionEnded(HttpSession* session) {
  bool resume = false;
  {
    std::lock_guard lock(mutex_);
    sessions_.erase(session);
    if (accept_paused_ && !stopping_) {
      accept_paused_ = false;
      resume = true;
    }
    if (stopping_ && Finished()) finished_.notify_all();
  }
  if (resume) net::post(acceptor_.get_executor(), [self = shared_from_this()] { self->DoAccept(); });
}

bool HttpListener::Stop(std::optional<std::chrono::milliseconds> wait) {
  std::vector<std::shared_ptr<HttpSession>> open;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    for (const auto& [key, session] : sessions_)
      if (auto alive = session.lock()) open.push_back(std::move(alive));
  }
  net::post(acceptor_.get_executor(), [self = shared_from_this()] {
    boost::system::error_code ignored;  // closing a socket that failed cannot be helped
    self->acceptor_.close(ignored);
    self->retry_timer_.cancel();
    std::lock_guard lock(self->mutex_);
    self->acceptor_closed_ = true;
    if (self->Finished()) self->finished_.notify_all();
  });
  for (const std::shared_ptr<HttpSession>& session : open) session->Close();
  open.clear();

  std::unique_lock lock(mutex_);
  if (!wait) {
    finished_.wait(lock, [this] { return Finished(); });
    return true;
  }
  return finished_.wait_for(lock, *wait, [this] { return Finished(); });
}

}  // namespace qit
