#pragma once

#include <array>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <memory>
#include <string>

#include "transport/HttpMessage.h"
#include "transport/HttpRequestParser.h"

namespace qit {

class HttpListener;

// One accepted connection: reads one request, answers it and closes. All of its handlers
// run on the one serving loop it was given, one after the other.
class HttpSession : public std::enable_shared_from_this<HttpSession> {
 public:
  HttpSession(boost::asio::ip::tcp::socket&& socket, std::string peer_address, std::shared_ptr<HttpListener> listener);
  ~HttpSession();

  void Run();
  // Disconnects; safe from any thread.
  void Close();

 private:
  // Every read and write waits at most the listener's read timeout.
  void ArmTimeout();
  void DoRead();
  void OnRead(boost::beast::error_code error, std::size_t bytes);
  void Respond(HttpResponse response, bool head_only);
  void OnWrite(boost::beast::error_code error, std::size_t bytes);
  void DoDrain();

  boost::beast::tcp_stream stream_;
  std::shared_ptr<HttpListener> listener_;
  std::string peer_address_;
  HttpRequestParser parser_;
  HttpResponse response_;
  std::string head_;
  bool unread_input_ = false;  // the answer went out before the whole request was read
  std::array<char, 8192> buffer_;
};

}  // namespace qit
