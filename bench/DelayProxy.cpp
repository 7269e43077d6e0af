#include "DelayProxy.h"

#include <array>
#include <deque>
#include <exception>
#include <iostream>
#include <stdexcept>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>

namespace qit::bench {

namespace asio = boost::asio;
using asio::ip::tcp;
using boost::system::error_code;

namespace {

// Bytes held per direction before the proxy stops reading from that side until some are
// written: a client that sends faster than the other side takes in is slowed, not stored.
constexpr std::size_t kMaxHeldBytes = std::size_t{4} << 20;

}  // namespace

class DelayProxy::Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(DelayProxy& proxy, tcp::socket client)
      : proxy_(proxy),
        client_(std::move(client)),
        server_(proxy.io_),
        half_delay_(proxy.added_round_trip_ / 2),
        upstream_(client_, server_, true),
        downstream_(server_, client_, false) {
    proxy_.open_connections_.fetch_add(1, std::memory_order_relaxed);
  }
  ~Connection() { proxy_.open_connections_.fetch_sub(1, std::memory_order_relaxed); }

  // Connects to the target, then carries both directions. What the client sends meanwhile
  // waits in its socket.
  void Start() {
    asio::async_connect(server_, proxy_.target_, [self = shared_from_this()](error_code ec, const tcp::endpoint&) {
      if (self->closed_) return;
      if (ec) return self->Close();
      error_code ignored;
      // A chunk is written at once when its time comes: Nagle's wait for the previous
      // segment's acknowledgement would add to the delay the proxy is there to set.
      self->client_.set_option(tcp::no_delay(true), ignored);
      self->server_.set_option(tcp::no_delay(true), ignored);
      self->Read(self->upstream_);
      self->Read(self->downstream_);
    });
  }

  // Both sides at once; pending reads, writes and waits end as cancelled.
  void Close() {
    if (closed_) return;
    closed_ = true;
    error_code ignored;
    client_.close(ignored);
    server_.close(ignored);
    upstream_.timer.cancel();
    downstream_.timer.cancel();
  }

 private:
  struct Chunk {
    std::chrono::steady_clock::time_point due;
    std::vector<char> bytes;
  };

  // One direction: what is read from `from` is held, then written to `to` in order.
  struct Pipe {
    Pipe(tcp::socket& from, tcp::socket& to, bool from_client)
        : from(from), to(to), from_client(from_client), timer(from.get_executor()) {}
    tcp::socket& from;
    tcp::socket& to;
    const bool from_client;
    asio::steady_timer timer;
    std::array<char, 64 * 1024> buffer{};
    std::deque<Chunk> held;
    std::size_t held_bytes = 0;
    bool reading = false;
    bool writing = false;
    bool source_ended = false;  // `from` sent its end
    bool ended = false;         // and `to` was told, after every held chunk
  };

  void Read(Pipe& pipe) {
    pipe.reading = true;
    pipe.from.async_read_some(
        asio::buffer(pipe.buffer),
        [self = shared_from_this(), &pipe](error_code ec, std::size_t n) { self->OnRead(pipe, ec, n); });
  }

  void OnRead(Pipe& pipe, error_code ec, std::size_t n) {
    pipe.reading = false;
    if (closed_) return;
    if (ec == asio::error::eof) {
      pipe.source_ended = true;
      if (!pipe.writing) End(pipe);
      return;
    }
    if (ec) return Close();
    CountTurn(pipe);
    pipe.held.push_back({std::chrono::steady_clock::now() + half_delay_,
                         std::vector<char>(pipe.buffer.begin(), pipe.buffer.begin() + static_cast<std::ptrdiff_t>(n))});
    pipe.held_bytes += n;
    if (!pipe.writing) WriteNext(pipe);
    if (pipe.held_bytes < kMaxHeldBytes) Read(pipe);
  }

  // A client chunk opens a round trip unless the client's turn is already open; a server
  // chunk closes the turn.
  void CountTurn(const Pipe& pipe) {
    if (!pipe.from_client) {
      client_turn_ = false;
    } else if (!client_turn_) {
      client_turn_ = true;
      proxy_.round_trips_.fetch_add(1, std::memory_order_relaxed);
    }
  }

  void WriteNext(Pipe& pipe) {
    pipe.writing = true;
    pipe.timer.expires_at(pipe.held.front().due);
    pipe.timer.async_wait([self = shared_from_this(), &pipe](error_code) {
      if (self->closed_) return;
      asio::async_write(pipe.to, asio::buffer(pipe.held.front().bytes),
                        [self, &pipe](error_code ec, std::size_t) { self->OnWritten(pipe, ec); });
    });
  }

  void OnWritten(Pipe& pipe, error_code ec) {
    if (closed_) return;
    if (ec) return Close();
    pipe.held_bytes -= pipe.held.front().bytes.size();
    pipe.held.pop_front();
    pipe.writing = false;
    if (!pipe.held.empty()) WriteNext(pipe);
    if (pipe.source_ended) {
      if (!pipe.writing) End(pipe);
    } else if (!pipe.reading && pipe.held_bytes < kMaxHeldBytes) {
      Read(pipe);
    }
  }

  // Passes a side's end on to the other; the connection closes once both sides ended.
  void End(Pipe& pipe) {
    error_code ec;
    pipe.to.shutdown(tcp::socket::shutdown_send, ec);
    pipe.ended = true;
    if (ec || (upstream_.ended && downstream_.ended)) Close();
  }

  DelayProxy& proxy_;
  tcp::socket client_;
  tcp::socket server_;
  const std::chrono::nanoseconds half_delay_;
  Pipe upstream_;    // client to server
  Pipe downstream_;  // server to client
  bool client_turn_ = false;
  bool closed_ = false;
};

DelayProxy::DelayProxy(const std::string& target_host, std::uint16_t target_port,
                       std::chrono::microseconds added_round_trip, std::uint16_t listen_port)
    : added_round_trip_(added_round_trip), acceptor_(io_) {
  if (added_round_trip.count() < 0) throw std::invalid_argument("a delay proxy cannot take time away");
  target_ = tcp::resolver(io_).resolve(target_host, std::to_string(target_port));
  const tcp::endpoint endpoint(asio::ip::address_v4::loopback(), listen_port);
  acceptor_.open(endpoint.protocol());
  acceptor_.set_option(tcp::acceptor::reuse_address(true));
  acceptor_.bind(endpoint);
  acceptor_.listen();
  port_ = acceptor_.local_endpoint().port();
  Accept();
  thread_ = std::thread([this] { Run(); });
}

DelayProxy::~DelayProxy() { Stop(); }

void DelayProxy::Stop() {
  if (!thread_.joinable()) return;
  asio::post(io_, [this] {
    error_code ignored;
    acceptor_.close(ignored);
    for (const std::weak_ptr<Connection>& connection : connections_)
      if (const auto open = connection.lock()) open->Close();
    connections_.clear();
  });
  thread_.join();
}

void DelayProxy::Accept() {
  acceptor_.async_accept([this](error_code ec, tcp::socket client) {
    if (!acceptor_.is_open()) return;
    if (ec) {
      // A refused connection (descriptors exhausted, say) leaves the listener working.
      std::cerr << "delay proxy: accept: " << ec.message() << '\n';
    } else {
      std::erase_if(connections_, [](const std::weak_ptr<Connection>& c) { return c.expired(); });
      auto connection = std::make_shared<Connection>(*this, std::move(client));
      connections_.push_back(connection);
      connection->Start();
    }
    Accept();
  });
}

// The thread ends when nothing is left to do, which is after Stop closed everything; a
// handler that raises is reported and the others go on.
void DelayProxy::Run() {
  for (;;) {
    try {
      io_.run();
      return;
    } catch (const std::exception& error) {
      std::cerr << "delay proxy: " << error.what() << '\n';
    }
  }
}

}  // namespace qit::bench
