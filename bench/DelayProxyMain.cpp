// delay_proxy LISTEN_PORT TARGET_HOST TARGET_PORT DELAY_MS
//
// Listens on 127.0.0.1:LISTEN_PORT (0: any free port, printed) and forwards every connection
// to TARGET_HOST:TARGET_PORT, adding DELAY_MS (a decimal number, 0 or more) to every round
// trip. Runs until SIGINT or SIGTERM, then prints the round trips it carried. For trying the
// program at a network's distance by hand: a connection string's Server=127.0.0.1/LISTEN_PORT
// reaches a database server through it.
#include <charconv>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <exception>
#include <iostream>
#include <optional>
#include <string_view>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>

#include "DelayProxy.h"

namespace {

template <class Number>
std::optional<Number> Parse(std::string_view text) {
  Number value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

int Usage() {
  std::cerr << "usage: delay_proxy LISTEN_PORT TARGET_HOST TARGET_PORT DELAY_MS\n"
               "  adds DELAY_MS milliseconds (0 or more, decimals allowed) to every round trip\n"
               "  between a client on 127.0.0.1:LISTEN_PORT (0: any free port) and TARGET_HOST:TARGET_PORT\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) return Usage();
  const auto listen_port = Parse<std::uint16_t>(argv[1]);
  const auto target_port = Parse<std::uint16_t>(argv[3]);
  const auto delay_ms = Parse<double>(argv[4]);
  if (!listen_port || !target_port || *target_port == 0 || !delay_ms || !std::isfinite(*delay_ms) || *delay_ms < 0)
    return Usage();

  try {
    const std::chrono::microseconds delay(std::llround(*delay_ms * 1000));
    qit::bench::DelayProxy proxy(argv[2], *target_port, delay, *listen_port);
    std::cout << "delay_proxy: 127.0.0.1:" << proxy.Port() << " -> " << argv[2] << ':' << *target_port << ", +"
              << *delay_ms << " ms per round trip (Ctrl-C stops)" << std::endl;

    boost::asio::io_context io;
    boost::asio::signal_set signals(io, SIGINT, SIGTERM);
    signals.async_wait([](const boost::system::error_code&, int) {});
    io.run();

    proxy.Stop();
    std::cout << "delay_proxy: " << proxy.RoundTrips() << " round trips carried" << std::endl;
    return 0;
  } catch (const std::exception& error) {
    std::cerr << "delay_proxy: " << error.what() << '\n';
    return 1;
  }
}
