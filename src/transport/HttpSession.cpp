#include "transport/HttpSession.h"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

#include "transport/HttpListener.h"
#include "transport/RequestRouter.h"

namespace qit {

namespace net = boost::asio;
namespace beast = boost::beast;
using Result = HttpRequestParser::Result;

namespace {

// After an early answer (413), input still arriving is read and dropped for at most this
// long: closing a socket with unread input resets the connection, and the reset can destroy
// the answer before the client has read it.
constexpr std::chrono::seconds kDrainTime{2};

}  // namespace

HttpSession::HttpSession(net::ip::tcp::socket&& socket, std::string peer_address,
                         std::shared_ptr<HttpListener> listener)
    : stream_(std::move(socket)),
      listener_(std::move(listener)),
      peer_address_(std::move(peer_address)),
      parser_(listener_->Settings().limits.max_body_bytes) {}

HttpSession::~HttpSession() {
  boost::system::error_code ignored;  // the connection ends either way
  stream_.socket().close(ignored);
  listener_->SessionEnded(this);
}

void HttpSession::Run() {
  net::dispatch(stream_.get_executor(), [self = shared_from_this()] { self->DoRead(); });
}

void HttpSession::Close() {
  net::post(stream_.get_executor(), [self = shared_from_this()] { self->stream_.close(); });
}

void HttpSession::ArmTimeout() {
  const std::chrono::seconds timeout = listener_->Settings().limits.read_timeout;
  if (timeout.count() > 0)
    stream_.expires_after(timeout);
  else
    stream_.expires_never();
}

void HttpSession::DoRead() {
  ArmTimeout();
  stream_.async_read_some(
      net::buffer(buffer_),
      [self = shared_from_this()](beast::error_code error, std::size_t bytes) { self->OnRead(error, bytes); });
}

void HttpSession::OnRead(beast::error_code error, std::size_t bytes) {
  // A timeout, a reset or a disconnect by the listener ends the connection without a word.
  if (error && error != net::error::eof) return;
  const Result result = error ? parser_.FinishInput() : parser_.Feed(std::string_view(buffer_.data(), bytes));
  switch (result) {
    case Result::kNeedMore:
      return DoRead();
    case Result::kReject:
      return;
    case Result::kTooLarge:
      unread_input_ = !error;
      return Respond(PayloadTooLargeResponse(listener_->Settings().limits.max_body_bytes), false);
    case Result::kComplete:
      break;
  }
  HttpRequest& request = parser_.Request();
  if (!HasSupportedAuthorization(request)) return;
  request.peer_address = peer_address_;
  Respond(AnswerRequest(request, listener_->Dispatchers(), listener_->Settings().options), request.method == "HEAD");
}

void HttpSession::Respond(HttpResponse response, bool head_only) {
  response_ = std::move(response);
  head_ = FormatResponseHead(response_);
  ArmTimeout();  // a client that does not read its answer is let go as one that does not send
  const std::array<net::const_buffer, 2> buffers{net::buffer(head_),
                                                 head_only ? net::const_buffer() : net::buffer(response_.body)};
  net::async_write(stream_, buffers, [self = shared_from_this()](beast::error_code error, std::size_t bytes) {
    self->OnWrite(error, bytes);
  });
}

void HttpSession::OnWrite(beast::error_code error, std::size_t) {
  // One request per connection: the session ends here and its socket is closed, so the
  // client sees the end of the answer at once.
  if (error || !unread_input_) return;
  // Input is still arriving: the end of the answer is sent now, and the connection is kept
  // for a while to read the rest.
  stream_.socket().shutdown(net::ip::tcp::socket::shutdown_send, error);
  if (!error) {
    stream_.expires_after(kDrainTime);
    DoDrain();
  }
}

void HttpSession::DoDrain() {
  stream_.async_read_some(net::buffer(buffer_), [self = shared_from_this()](beast::error_code error, std::size_t) {
    if (!error) self->DoDrain();
  });
}

}  // namespace qit
