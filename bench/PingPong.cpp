#include "PingPong.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <memory>
#include <numeric>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <fmt/format.h>

#include "DelayProxy.h"

namespace qit::bench {

namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using boost::system::error_code;

constexpr std::size_t kMessageBytes = 64;
constexpr int kWarmUp = 20;
// Enough exchanges for a stable median; at 2 ms added, half a second each.
constexpr int kExchanges = 250;

// Sends back whatever it reads, on a loopback port of its own, from a thread of its own.
class EchoServer {
 public:
  EchoServer() : acceptor_(io_, tcp::endpoint(asio::ip::address_v4::loopback(), 0)) {
    Accept();
    thread_ = std::thread([this] { io_.run(); });
  }
  ~EchoServer() {
    asio::post(io_, [this] {
      error_code ignored;
      acceptor_.close(ignored);
      for (const auto& socket : sockets_) socket->close(ignored);
    });
    thread_.join();
  }

  std::uint16_t Port() const { return acceptor_.local_endpoint().port(); }

 private:
  struct Echo {
    std::shared_ptr<tcp::socket> socket;
    std::array<char, 4096> buffer{};
  };

  void Accept() {
    acceptor_.async_accept([this](error_code ec, tcp::socket socket) {
      if (ec) return;
      socket.set_option(tcp::no_delay(true), ec);
      auto echo = std::make_shared<Echo>();
      echo->socket = std::make_shared<tcp::socket>(std::move(socket));
      sockets_.push_back(echo->socket);
      Read(echo);
      Accept();
    });
  }

  void Read(const std::shared_ptr<Echo>& echo) {
    echo->socket->async_read_some(asio::buffer(echo->buffer), [this, echo](error_code ec, std::size_t n) {
      if (ec) return;
      asio::async_write(*echo->socket, asio::buffer(echo->buffer, n), [this, echo](error_code written, std::size_t) {
        if (!written) Read(echo);
      });
    });
  }

  asio::io_context io_;
  tcp::acceptor acceptor_;
  std::vector<std::shared_ptr<tcp::socket>> sockets_;  // on the server's thread only
  std::thread thread_;
};

struct Summary {
  double median_ms = 0;
  double mean_ms = 0;
  double p99_ms = 0;
};

// Round trips of one message over one connection to `port`, after a few untimed ones.
Summary Measure(std::uint16_t port) {
  asio::io_context io;
  tcp::socket socket(io);
  socket.connect(tcp::endpoint(asio::ip::address_v4::loopback(), port));
  socket.set_option(tcp::no_delay(true));
  std::array<char, kMessageBytes> message{};
  std::array<char, kMessageBytes> answer{};
  std::vector<double> times;
  for (int i = 0; i < kWarmUp + kExchanges; ++i) {
    message.fill(static_cast<char>('a' + i % 26));
    const auto start = std::chrono::steady_clock::now();
    asio::write(socket, asio::buffer(message));
    asio::read(socket, asio::buffer(answer));
    const std::chrono::duration<double, std::milli> elapsed = std::chrono::steady_clock::now() - start;
    if (answer != message) throw std::runtime_error("the echo came back altered");
    if (i >= kWarmUp) times.push_back(elapsed.count());
  }
  std::sort(times.begin(), times.end());
  return {times[times.size() / 2], std::accumulate(times.begin(), times.end(), 0.0) / static_cast<double>(times.size()),
          times[times.size() * 99 / 100]};
}

}  // namespace

void RunPingPongCheck(std::ostream& out, const std::vector<double>& delays_ms) {
  EchoServer echo;
  out << fmt::format("Ping-pong: a {}-byte message and its echo on loopback, {} exchanges per line\n\n", kMessageBytes,
                     kExchanges);
  out << fmt::format("| {:<14} | {:>11} | {:>11} | {:>11} | {:>16} |\n", "added delay", "median", "mean", "p99",
                     "median - direct");
  out << "|----------------|-------------|-------------|-------------|------------------|\n";
  const Summary direct = Measure(echo.Port());
  const auto line = [&](const std::string& name, const Summary& s) {
    out << fmt::format("| {:<14} | {:>8.3f} ms | {:>8.3f} ms | {:>8.3f} ms | {:>13.3f} ms |\n", name, s.median_ms,
                       s.mean_ms, s.p99_ms, s.median_ms - direct.median_ms);
  };
  line("direct", direct);
  std::vector<double> through = {0.0};
  through.insert(through.end(), delays_ms.begin(), delays_ms.end());
  for (const double delay_ms : through) {
    DelayProxy proxy("127.0.0.1", echo.Port(), std::chrono::microseconds(std::llround(delay_ms * 1000)));
    line(fmt::format("proxy +{} ms", delay_ms), Measure(proxy.Port()));
  }
  out << '\n';
}

}  // namespace qit::bench
