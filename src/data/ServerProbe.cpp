#include "data/ServerProbe.h"

#include <optional>
#include <string>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <fmt/format.h>

#include "data/FbClient.h"

namespace qit {

namespace {

namespace asio = boost::asio;
using asio::ip::tcp;

struct ServerAddress {
  std::string host;
  std::string service;
};

std::optional<ServerAddress> ParseServer(std::string_view server) {
  // Other protocols ("xnet://", "\\host") are not probed.
  if (server.find("://") != std::string_view::npos || server.starts_with("\\\\")) return std::nullopt;
  ServerAddress address{std::string(server), "3050"};
  if (const std::size_t slash = server.find('/'); slash != std::string_view::npos) {
    address.host = std::string(server.substr(0, slash));
    const std::string_view service = server.substr(slash + 1);
    // The well-known service name is not listed in every services file.
    if (!service.empty() && service != "gds_db") address.service = std::string(service);
  }
  if (address.host.size() >= 2 && address.host.front() == '[' && address.host.back() == ']')
    address.host = address.host.substr(1, address.host.size() - 2);
  if (address.host.empty()) return std::nullopt;
  return address;
}

}  // namespace

void ProbeServer(std::string_view server, std::chrono::seconds timeout) {
  const std::optional<ServerAddress> address = ParseServer(server);
  if (!address) return;
  asio::io_context io;
  boost::system::error_code error;
  tcp::resolver resolver(io);
  const tcp::resolver::results_type endpoints = resolver.resolve(address->host, address->service, error);
  if (error) return;

  tcp::socket socket(io);
  asio::steady_timer timer(io, timeout);
  bool timed_out = false;
  asio::async_connect(socket, endpoints, [&](const boost::system::error_code&, const tcp::endpoint&) {
    timer.cancel();
  });
  timer.async_wait([&](const boost::system::error_code& expired) {
    if (expired) return;  // cancelled: the connect finished first
    timed_out = true;
    boost::system::error_code ignored;
    socket.close(ignored);
  });
  io.run();
  // Raised as a lost connection: the database is away, nothing is wrong with the work.
  if (timed_out)
    throw EFirebirdError(
        fmt::format("Cannot reach the database server {}: no answer within {} seconds", server, timeout.count()),
        /*connection_lost=*/true);
}

}  // namespace qit
