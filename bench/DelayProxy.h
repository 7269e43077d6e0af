#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

namespace qit::bench {

// A TCP proxy on a loopback port that puts a network's distance between a client and a
// server. Every chunk read from either side is held for half the added round trip before it
// is written on to the other, so that a request and its answer arrive one whole delay later
// than they would directly. Chunks keep their order in each direction and are written one by
// one, as they were read: nothing is gathered beyond what TCP itself does. Reading goes on
// while chunks are held (the delay is distance, not a narrower pipe), up to a bound of held
// bytes per direction.
//
// It counts round trips: in each connection, a chunk from the client that is the
// connection's first, or that follows a chunk from the server, starts one. Consecutive chunks
// of one side belong to the same turn, however TCP split them.
//
// Every connection runs on one thread of the proxy's own. When either side ends its sending,
// the other is told once the chunks held for it are written, and the connection closes when
// both have ended; an error on either side closes both at once. Stop (or the destructor)
// closes the listener and every connection and returns once the thread has ended.
class DelayProxy {
 public:
  // Listens on 127.0.0.1:listen_port (0: a free port the system picks) and forwards every
  // connection to target_host:target_port (resolved here; raises when that fails).
  DelayProxy(const std::string& target_host, std::uint16_t target_port, std::chrono::microseconds added_round_trip,
             std::uint16_t listen_port = 0);
  ~DelayProxy();
  DelayProxy(const DelayProxy&) = delete;
  DelayProxy& operator=(const DelayProxy&) = delete;

  std::uint16_t Port() const { return port_; }
  std::chrono::microseconds AddedRoundTrip() const { return added_round_trip_; }

  // Round trips started since the start or the last reset, over all connections.
  std::uint64_t RoundTrips() const { return round_trips_.load(std::memory_order_relaxed); }
  void ResetRoundTrips() { round_trips_.store(0, std::memory_order_relaxed); }

  // Connections between a client and the target that are not closed yet (the target being
  // connected to included).
  std::size_t OpenConnections() const { return open_connections_.load(std::memory_order_relaxed); }

  // Closes the listener and every connection and joins the thread; from one thread, once or
  // more.
  void Stop();

 private:
  class Connection;

  void Accept();
  void Run();

  const std::chrono::microseconds added_round_trip_;
  boost::asio::io_context io_;
  boost::asio::ip::tcp::acceptor acceptor_;
  boost::asio::ip::tcp::resolver::results_type target_;
  std::uint16_t port_ = 0;
  std::atomic<std::uint64_t> round_trips_{0};
  std::atomic<std::size_t> open_connections_{0};
  std::vector<std::weak_ptr<Connection>> connections_;  // on the proxy's thread only
  std::thread thread_;
};

}  // namespace qit::bench
