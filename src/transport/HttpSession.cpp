#include "transport/HttpSession.h"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/system/system_error.hpp>
#include <algorithm>
#include <cstdio>

#include "common/Errors.h"
#include "transport/HttpListener.h"

namespace qit {

namespace net = boost::asio;
namespace beast = boost::beast;
using Result = HttpRequestParser::Result;

namespace {

// After an early answer (400, 413, 503), input still arriving is read and dropped for at most
// this long: closing a socket with unread input resets the connection, and the reset can
// destroy the answer before the client has read it.
constexpr std::chrono::seconds kDrainTime{2};

constexpr std::string_view kReadLocation = "HttpSession.Read";
constexpr std::string_view kWriteLocation = "HttpSession.Write";
constexpr std::string_view kRequestLocation = "HttpSession.Request";
constexpr std::string_view kMemoryLocation = "RequestMemoryBudget";

// The ways a connection ends that are part of the job: the client closed or reset it, it
// timed out, or the listener disconnected it. Only other failures are worth a report.
bool IsOrdinaryEnd(const beast::error_code& error) {
  return error == net::error::eof || error == net::error::connection_reset || error == beast::error::timeout ||
         error == net::error::operation_aborted || error == net::error::bad_descriptor ||
         error == net::error::broken_pipe || error == net::error::connection_aborted ||
         error == net::error::not_connected || error == net::error::shut_down;
}

// When a request accepted now must have arrived whole.
std::chrono::steady_clock::time_point RequestDeadline(std::chrono::seconds request_timeout) {
  if (request_timeout.count() <= 0) return std::chrono::steady_clock::time_point::max();
  return std::chrono::steady_clock::now() + request_timeout;
}

}  // namespace

HttpSession::HttpSession(net::ip::tcp::socket&& socket, std::string peer_address,
                         std::shared_ptr<HttpListener> listener)
    : stream_(std::move(socket)),
      listener_(std::move(listener)),
      peer_address_(std::move(peer_address)),
      request_deadline_(RequestDeadline(listener_->Settings().limits.request_timeout)),
      body_memory_(listener_->Settings().limits.request_memory),
      parser_(listener_->Settings().limits.max_body_bytes, &body_memory_,
              static_cast<bool>(listener_->Settings().options.handler)) {}

HttpSession::~HttpSession() {
  boost::system::error_code ignored;  // the connection ends either way
  stream_.socket().close(ignored);
  listener_->SessionEnded(this);
}

void HttpSession::Run() {
  net::dispatch(stream_.get_executor(), [self = shared_from_this()] { self->DoRead(); });
}

void HttpSession::Close() {
  PostThrough(*listener_->LoopGate(), stream_.get_executor(), [self = shared_from_this()] {
    self->closed_ = true;
    self->stream_.close();
  });
}

void HttpSession::ArmReadTimeout() {
  // The read timeout starts again with every read; the deadline does not, so a client that
  // sends a byte now and then is let go once its request has taken too long as a whole.
  std::chrono::steady_clock::time_point expiry = request_deadline_;
  const std::chrono::seconds timeout = listener_->Settings().limits.read_timeout;
  if (timeout.count() > 0) expiry = std::min(expiry, std::chrono::steady_clock::now() + timeout);
  if (expiry == std::chrono::steady_clock::time_point::max())
    stream_.expires_never();
  else
    stream_.expires_at(expiry);
}

void HttpSession::ArmWriteTimeout() {
  const std::chrono::seconds timeout = listener_->Settings().limits.read_timeout;
  if (timeout.count() > 0)
    stream_.expires_after(timeout);
  else
    stream_.expires_never();
}

void HttpSession::DoRead() {
  ArmReadTimeout();
  stream_.async_read_some(
      net::buffer(buffer_),
      [self = shared_from_this()](beast::error_code error, std::size_t bytes) { self->OnRead(error, bytes); });
}

void HttpSession::OnRead(beast::error_code error, std::size_t bytes) {
  // A timeout, a reset or a disconnect by the listener ends the connection without a word.
  if (error && error != net::error::eof) {
    if (!IsOrdinaryEnd(error)) listener_->ReportError(kReadLocation, boost::system::system_error(error));
    return;
  }
  // The whole request is handled under this guard: whatever fails (no memory for a growing
  // body, most likely) fails this request alone.
  try {
    HandleInput(error, bytes);
  } catch (const std::exception& failure) {
    OnRequestError(failure);
  }
}

void HttpSession::HandleInput(beast::error_code error, std::size_t bytes) {
  if (error) input_ended_ = true;
  const Result result = error ? parser_.FinishInput() : parser_.Feed(std::string_view(buffer_.data(), bytes));
  switch (result) {
    case Result::kNeedMore:
      return DoRead();
    case Result::kReject:
      return;
    case Result::kBadRequest:
      return RespondEarly(BadRequestResponse(), !error);
    case Result::kTooLarge:
      return RespondEarly(PayloadTooLargeResponse(listener_->Settings().limits.max_body_bytes), !error);
    case Result::kNoMemory:
      listener_->ReportError(
          kMemoryLocation,
          Exception("The memory for request bodies being read is taken; a request was answered with 503"));
      return RespondEarly(ServiceUnavailableResponse(), !error);
    case Result::kComplete:
      break;
  }
  input_ended_ = true;
  HttpRequest& request = parser_.Request();
  if (!HasSupportedAuthorization(request)) return;
  request.peer_address = peer_address_;
  request.local_port = listener_->BoundPort();
  request.received = std::chrono::steady_clock::now();
  head_only_ = request.method == "HEAD";
  StartAnswer(std::move(request));
}

void HttpSession::StartAnswer(HttpRequest request) {
  pending_ = std::make_shared<PendingAnswer>();
  // The answer may come from another thread after the session has gone (the pool stopped):
  // the callback holds nothing of the connection but a weak reference, and hands the
  // answer to the loop only while the pool runs.
  AnswerRequest(std::move(request), listener_->Dispatchers(), listener_->Settings().options,
                [pending = pending_, session = weak_from_this(), executor = stream_.get_executor(),
                 gate = listener_->LoopGate()](RequestAnswer answer) {
                  pending->answer = std::move(answer);
                  if (pending->stage.exchange(PendingAnswer::kAnswered, std::memory_order_acq_rel) !=
                      PendingAnswer::kWaiting)
                    return;  // answered during the routing: the session takes it from there
                  try {
                    PostThrough(*gate, executor, [session, pending] {
                      if (const std::shared_ptr<HttpSession> self = session.lock()) self->OnAnswer();
                    });
                  } catch (const std::exception& error) {
                    // No memory to hand the answer over: the connection stays until the
                    // listener or the pool stops, as for a handler that never completes.
                    std::fprintf(stderr, "an answer could not be handed to its connection: %s\n", error.what());
                  }
                });
  int routing = PendingAnswer::kRouting;
  if (pending_->stage.compare_exchange_strong(routing, PendingAnswer::kWaiting, std::memory_order_acq_rel))
    return WaitForAnswer();
  OnAnswer();
}

void HttpSession::WaitForAnswer() {
  // A wait that never expires holds the session on its loop: it ends when the answer
  // arrives (cancelled in OnAnswer), or is dropped with the loop's work when the pool stops.
  waiting_.emplace(stream_.get_executor());
  waiting_->expires_at(net::steady_timer::time_point::max());
  waiting_->async_wait([self = shared_from_this()](beast::error_code) {});
}

void HttpSession::OnAnswer() {
  if (waiting_) waiting_->cancel();
  RequestAnswer answer = std::move(pending_->answer);
  if (answer.error) listener_->ReportError(kRequestLocation, answer.error);
  if (closed_ || responding_) return;  // disconnected meanwhile, or answered with an error
  try {
    Respond(std::move(answer.response), head_only_);
  } catch (const std::exception& failure) {
    OnRequestError(failure);
  }
}

void HttpSession::OnRequestError(const std::exception& error) {
  listener_->ReportError(kRequestLocation, error);
  if (closed_ || responding_) return;
  HttpResponse response;
  response.status = 500;
  response.body = error.what();
  // Should this fail as well, the loop reports it and the connection closes unanswered.
  RespondEarly(std::move(response), !input_ended_);
}

void HttpSession::RespondEarly(HttpResponse response, bool input_left) {
  // The body read so far is of no more use.
  std::string().swap(parser_.Request().body);
  body_memory_.Reset();
  unread_input_ = input_left;
  Respond(std::move(response), false);
}

void HttpSession::Respond(HttpResponse response, bool head_only) {
  response_ = std::move(response);
  head_ = FormatResponseHead(response_);
  ArmWriteTimeout();  // a client that does not read its answer is let go as one that does not send
  const std::array<net::const_buffer, 2> buffers{net::buffer(head_),
                                                 head_only ? net::const_buffer() : net::buffer(response_.body)};
  // The client may read this answer and connect again before this loop comes back to the
  // connection to close it (the write may even be done before async_write returns): from now
  // on it no longer counts as one of its client's. One that still sends its request's rest
  // keeps counting while it is read away.
  if (!unread_input_) listener_->SessionAnswered(this);
  net::async_write(stream_, buffers, [self = shared_from_this()](beast::error_code error, std::size_t bytes) {
    self->OnWrite(error, bytes);
  });
  responding_ = true;
}

void HttpSession::OnWrite(beast::error_code error, std::size_t) {
  if (error) {
    if (!IsOrdinaryEnd(error)) listener_->ReportError(kWriteLocation, boost::system::system_error(error));
    return;
  }
  // One request per connection: the session ends here and its socket is closed, so the
  // client sees the end of the answer at once.
  if (!unread_input_) return;
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
