#include "transport/HttpListener.h"

#include <unistd.h>

#include <boost/asio/post.hpp>

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
    : pool_(pool), settings_(std::move(settings)), dispatchers_(std::move(dispatchers)) {}

void HttpListener::Open() {
  const tcp::endpoint endpoint(tcp::v4(), static_cast<unsigned short>(settings_.port));
  auto first = std::make_unique<Acceptor>(pool_.Context(0));
  boost::system::error_code error;
  first->acceptor.open(endpoint.protocol(), error);
  if (!error) first->acceptor.set_option(net::socket_base::reuse_address(true), error);
  if (!error) first->acceptor.bind(endpoint, error);
  if (error) ThrowBindError(error);
  first->acceptor.listen(settings_.listen_queue, error);
  if (error) ThrowBindError(error);
  bound_port_ = first->acceptor.local_endpoint().port();
  const int listening = first->acceptor.native_handle();
  acceptors_.push_back(std::move(first));

  // The other loops accept from the same socket through descriptors of their own.
  for (std::size_t i = 1; i < pool_.Size(); ++i) {
    const int descriptor = ::dup(listening);
    if (descriptor < 0)
      ThrowBindError(boost::system::error_code(errno, boost::system::system_category()));
    auto acceptor = std::make_unique<Acceptor>(pool_.Context(i));
    acceptor->acceptor.assign(endpoint.protocol(), descriptor, error);
    if (error) {
      ::close(descriptor);
      ThrowBindError(error);
    }
    acceptors_.push_back(std::move(acceptor));
  }
}

void HttpListener::Start() {
  for (const auto& acceptor : acceptors_)
    net::post(acceptor->acceptor.get_executor(),
              [self = shared_from_this(), acceptor = acceptor.get()] { self->DoAccept(*acceptor); });
}

void HttpListener::DoAccept(Acceptor& acceptor) {
  // The connection is made on this acceptor's loop. Waiting connections are taken one after
  // the other: the accept is tried at once, and only when none waits does the loop wait.
  acceptor.acceptor.async_accept(
      acceptor.peer, [self = shared_from_this(), &acceptor](boost::system::error_code error, tcp::socket socket) {
        self->OnAccept(acceptor, error, std::move(socket));
      });
}

void HttpListener::OnAccept(Acceptor& acceptor, boost::system::error_code error, tcp::socket socket) {
  if (error) {
    if (error == net::error::operation_aborted) return;
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    acceptor.retry_timer.expires_after(kAcceptRetryDelay);
    acceptor.retry_timer.async_wait([self = shared_from_this(), &acceptor](boost::system::error_code wait_error) {
      if (!wait_error) self->DoAccept(acceptor);
    });
    return;
  }
  if (Serve(acceptor, std::move(socket), acceptor.peer.address().to_string())) DoAccept(acceptor);
}

bool HttpListener::AtLimit() const {
  const std::size_t limit = settings_.limits.max_connections;
  return limit > 0 && sessions_.size() >= limit;
}

std::shared_ptr<HttpSession> HttpListener::Admit(tcp::socket& socket, std::string& peer_address) {
  auto session = std::make_shared<HttpSession>(std::move(socket), std::move(peer_address), shared_from_this());
  sessions_.emplace(session.get(), session);
  return session;
}

bool HttpListener::Serve(Acceptor& acceptor, tcp::socket socket, std::string peer_address) {
  std::shared_ptr<HttpSession> session;
  bool paused;
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return false;  // the socket closes as it goes out of scope
    if (AtLimit()) {
      // Another loop filled the last place while this one was accepting.
      waiting_.push_back({std::move(socket), std::move(peer_address)});
      acceptor.paused = true;
      return false;
    }
    session = Admit(socket, peer_address);
    paused = acceptor.paused = AtLimit();
  }
  session->Run();
  return !paused;
}

void HttpListener::SessionEnded(HttpSession* session) {
  std::shared_ptr<HttpSession> next;
  std::vector<Acceptor*> resumed;
  {
    std::lock_guard lock(mutex_);
    sessions_.erase(session);
    if (stopping_) {
      if (Finished()) finished_.notify_all();
      return;
    }
    if (!waiting_.empty()) {
      // The place goes to the connection that has waited longest.
      next = Admit(waiting_.front().socket, waiting_.front().peer_address);
      waiting_.pop_front();
    } else if (!AtLimit()) {
      for (const auto& acceptor : acceptors_)
        if (acceptor->paused) {
          acceptor->paused = false;
          resumed.push_back(acceptor.get());
        }
    }
  }
  if (next) next->Run();
  for (Acceptor* acceptor : resumed)
    net::post(acceptor->acceptor.get_executor(),
              [self = shared_from_this(), acceptor] { self->DoAccept(*acceptor); });
}

bool HttpListener::Stop(std::optional<std::chrono::milliseconds> wait) {
  std::vector<std::shared_ptr<HttpSession>> open;
  std::deque<Waiting> waiting;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    for (const auto& [key, session] : sessions_)
      if (auto alive = session.lock()) open.push_back(std::move(alive));
    waiting.swap(waiting_);
  }
  waiting.clear();  // closes the connections that never got a place
  for (const auto& acceptor : acceptors_)
    net::post(acceptor->acceptor.get_executor(), [self = shared_from_this(), acceptor = acceptor.get()] {
      boost::system::error_code ignored;  // closing a socket that failed cannot be helped
      acceptor->acceptor.close(ignored);
      acceptor->retry_timer.cancel();
      std::lock_guard lock(self->mutex_);
      ++self->acceptors_closed_;
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
