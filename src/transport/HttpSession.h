#pragma once

#include <array>
#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "transport/HttpMessage.h"
#include "transport/HttpRequestParser.h"
#include "transport/RequestMemoryBudget.h"
#include "transport/RequestRouter.h"

namespace qit {

class HttpListener;

// One accepted connection: reads one request, answers it and closes. All of its handlers
// run on the one serving loop it was given, one after the other; the answer of a message
// handler that completes later, on another thread, is handed back to that loop.
class HttpSession : public std::enable_shared_from_this<HttpSession> {
 public:
  HttpSession(boost::asio::ip::tcp::socket&& socket, std::string peer_address, std::shared_ptr<HttpListener> listener);
  ~HttpSession();

  void Run();
  // Disconnects; safe from any thread. A request still with its message handler keeps the
  // session until the handler completes; its answer is then dropped.
  void Close();

 private:
  // Where the answer of a request meets the session. The message handler may complete on
  // any thread, before or after the session has started waiting for it.
  struct PendingAnswer {
    enum Stage { kRouting, kWaiting, kAnswered };
    std::atomic<int> stage{kRouting};
    RequestAnswer answer;  // written before stage becomes kAnswered
  };

  // A read waits at most the listener's read timeout, and never past the request's deadline.
  void ArmReadTimeout();
  // A write waits at most the listener's read timeout.
  void ArmWriteTimeout();
  void DoRead();
  void OnRead(boost::beast::error_code error, std::size_t bytes);
  void HandleInput(boost::beast::error_code error, std::size_t bytes);
  // Hands the complete request to the routing; the answer comes now or later (OnAnswer).
  void StartAnswer(HttpRequest request);
  // Keeps the session alive on its loop while the message handler works.
  void WaitForAnswer();
  void OnAnswer();
  // An error while handling the request: reported, and answered with 500 when nothing has
  // been answered yet.
  void OnRequestError(const std::exception& error);
  // An answer before the whole request was read (400, 413, 503).
  void RespondEarly(HttpResponse response, bool input_left);
  void Respond(HttpResponse response, bool head_only);
  void OnWrite(boost::beast::error_code error, std::size_t bytes);
  void DoDrain();

  boost::beast::tcp_stream stream_;
  std::shared_ptr<HttpListener> listener_;
  std::string peer_address_;
  // The whole request must have been read by then; max() when there is no such limit.
  std::chrono::steady_clock::time_point request_deadline_;
  MemoryReservation body_memory_;  // before parser_, which grows the body within it
  HttpRequestParser parser_;
  std::shared_ptr<PendingAnswer> pending_;
  std::optional<boost::asio::steady_timer> waiting_;  // armed while the handler works
  HttpResponse response_;
  std::string head_;
  bool head_only_ = false;
  bool input_ended_ = false;   // the request was read whole, or the client stopped sending
  bool responding_ = false;    // an answer is being written
  bool closed_ = false;        // disconnected by the listener
  bool unread_input_ = false;  // the answer went out before the whole request was read
  std::array<char, 8192> buffer_;
};

}  // namespace qit
