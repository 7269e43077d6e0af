#include "DelayProxy.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <gtest/gtest.h>

namespace qit::bench {
namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using boost::system::error_code;
using namespace std::chrono_literals;

// The target: a listener on a loopback port whose connections the test takes one by one.
class Target {
 public:
  Target() : acceptor_(io_, tcp::endpoint(asio::ip::address_v4::loopback(), 0)) {}
  std::uint16_t Port() const { return acceptor_.local_endpoint().port(); }
  tcp::socket Accept() { return acceptor_.accept(); }

 private:
  asio::io_context io_;
  tcp::acceptor acceptor_;
};

// A client connected through the proxy and the target's side of the same connection.
struct Link {
  Link(asio::io_context& io, const DelayProxy& proxy, Target& target) : client(io) {
    client.connect(tcp::endpoint(asio::ip::address_v4::loopback(), proxy.Port()));
    server = std::make_unique<tcp::socket>(target.Accept());
    // Each small write goes out at once instead of waiting for the previous one's
    // acknowledgement.
    client.set_option(tcp::no_delay(true));
    server->set_option(tcp::no_delay(true));
  }
  tcp::socket client;
  std::unique_ptr<tcp::socket> server;
};

// Sends `text` from one side and reads all of it at the other, so that the proxy has read it
// (as one chunk or several) before anything else is sent.
void Pass(tcp::socket& from, tcp::socket& to, const std::string& text) {
  asio::write(from, asio::buffer(text));
  std::string got(text.size(), '\0');
  asio::read(to, asio::buffer(got));
  ASSERT_EQ(got, text);
}

// Reads until the side's end; true when the end came (an orderly one or a reset) with
// nothing more before it than `expected`.
bool ReadsToEnd(tcp::socket& socket, const std::string& expected) {
  std::string got;
  std::vector<char> buffer(4096);
  for (;;) {
    error_code ec;
    const std::size_t n = socket.read_some(asio::buffer(buffer), ec);
    got.append(buffer.data(), n);
    if (ec) return got == expected && (ec == asio::error::eof || ec == asio::error::connection_reset);
  }
}

// Waits (ten seconds at most) until the proxy holds no connection.
bool AllClosed(const DelayProxy& proxy) {
  for (int i = 0; i < 1000 && proxy.OpenConnections() != 0; ++i) std::this_thread::sleep_for(10ms);
  return proxy.OpenConnections() == 0;
}

struct TurnCase {
  const char* turns;  // who sends, in order: c (client) or s (server)
  std::uint64_t round_trips;
};

class RoundTripCount : public ::testing::TestWithParam<TurnCase> {};

TEST_P(RoundTripCount, ClientChunkAfterServerChunkOrFirstStartsOne) {
  asio::io_context io;
  Target target;
  DelayProxy proxy("127.0.0.1", target.Port(), 0us);
  Link link(io, proxy, target);
  int i = 0;
  for (const char* turn = GetParam().turns; *turn != '\0'; ++turn) {
    const std::string text = std::string(1, *turn) + std::to_string(i++);
    if (*turn == 'c')
      Pass(link.client, *link.server, text);
    else
      Pass(*link.server, link.client, text);
  }
  EXPECT_EQ(proxy.RoundTrips(), GetParam().round_trips);
}

INSTANTIATE_TEST_SUITE_P(Turns, RoundTripCount,
                         ::testing::Values(TurnCase{"", 0}, TurnCase{"c", 1}, TurnCase{"cs", 1}, TurnCase{"ccs", 1},
                                           TurnCase{"cscs", 2}, TurnCase{"cssc", 2}, TurnCase{"s", 0},
                                           TurnCase{"sc", 1}, TurnCase{"sccsc", 2}, TurnCase{"csccssccs", 3}));

TEST(DelayProxy, CountsTurnsPerConnectionAndResets) {
  asio::io_context io;
  Target target;
  DelayProxy proxy("127.0.0.1", target.Port(), 0us);
  Link a(io, proxy, target);
  Link b(io, proxy, target);
  Pass(a.client, *a.server, "a1");
  Pass(b.client, *b.server, "b1");  // b's first chunk: a turn of its own, whatever a did
  Pass(a.client, *a.server, "a2");  // still a's first turn
  Pass(*a.server, a.client, "a-answer");
  Pass(a.client, *a.server, "a3");
  EXPECT_EQ(proxy.RoundTrips(), 3u);

  proxy.ResetRoundTrips();
  EXPECT_EQ(proxy.RoundTrips(), 0u);
  Pass(b.client, *b.server, "b2");  // b has not been answered: no new turn
  Pass(*b.server, b.client, "b-answer");
  Pass(b.client, *b.server, "b3");
  EXPECT_EQ(proxy.RoundTrips(), 1u);
}

// Both directions at once, far more than the proxy holds per direction: every byte arrives,
// in order, whatever TCP and the bound on held bytes make of the chunks.
TEST(DelayProxy, CarriesLargeTransfersBothWaysInOrder) {
  asio::io_context io;
  Target target;
  DelayProxy proxy("127.0.0.1", target.Port(), 2ms);
  Link link(io, proxy, target);
  constexpr std::size_t kBytes = std::size_t{24} << 20;
  const auto pattern = [](std::size_t seed) {
    std::string bytes(kBytes, '\0');
    for (std::size_t i = 0; i < kBytes; ++i) bytes[i] = static_cast<char>((i * 131 + seed + i / 4093) & 0xff);
    return bytes;
  };
  const std::string up = pattern(1);
  const std::string down = pattern(2);
  std::string received_up(kBytes, '\0');
  std::string received_down(kBytes, '\0');
  std::thread client_writes([&] { asio::write(link.client, asio::buffer(up)); });
  std::thread server_writes([&] { asio::write(*link.server, asio::buffer(down)); });
  std::thread server_reads([&] { asio::read(*link.server, asio::buffer(received_up)); });
  asio::read(link.client, asio::buffer(received_down));
  client_writes.join();
  server_writes.join();
  server_reads.join();
  EXPECT_TRUE(received_up == up);
  EXPECT_TRUE(received_down == down);
}

// The side that ends first: what it sent last is still held by the proxy when its end is
// read, and must arrive before the end is passed on; the connection then closes.
TEST(DelayProxy, PassesAnEndOnAfterTheHeldChunks) {
  for (const bool client_ends_first : {true, false}) {
    SCOPED_TRACE(client_ends_first ? "client ends first" : "server ends first");
    asio::io_context io;
    Target target;
    DelayProxy proxy("127.0.0.1", target.Port(), 100ms);
    Link link(io, proxy, target);
    tcp::socket& first = client_ends_first ? link.client : *link.server;
    tcp::socket& second = client_ends_first ? *link.server : link.client;

    asio::write(first, asio::buffer(std::string("last words")));
    first.shutdown(tcp::socket::shutdown_send);
    EXPECT_TRUE(ReadsToEnd(second, "last words"));
    asio::write(second, asio::buffer(std::string("reply")));
    second.shutdown(tcp::socket::shutdown_send);
    EXPECT_TRUE(ReadsToEnd(first, "reply"));
    EXPECT_TRUE(AllClosed(proxy));
  }
}

TEST(DelayProxy, AResetOnOneSideClosesTheOther) {
  asio::io_context io;
  Target target;
  DelayProxy proxy("127.0.0.1", target.Port(), 1ms);
  Link link(io, proxy, target);
  Pass(link.client, *link.server, "hello");
  link.server->set_option(asio::socket_base::linger(true, 0));  // close sends a reset
  link.server->close();
  EXPECT_TRUE(ReadsToEnd(link.client, ""));
  EXPECT_TRUE(AllClosed(proxy));
}

TEST(DelayProxy, ATargetThatRefusesEndsTheClientsConnection) {
  std::uint16_t closed_port = 0;
  {
    Target gone;
    closed_port = gone.Port();
  }
  asio::io_context io;
  DelayProxy proxy("127.0.0.1", closed_port, 1ms);
  tcp::socket client(io);
  client.connect(tcp::endpoint(asio::ip::address_v4::loopback(), proxy.Port()));
  EXPECT_TRUE(ReadsToEnd(client, ""));
  EXPECT_TRUE(AllClosed(proxy));
}

TEST(DelayProxy, StopClosesOpenConnectionsAndTheListener) {
  asio::io_context io;
  Target target;
  // Held for a second: the stop must not wait for it.
  DelayProxy proxy("127.0.0.1", target.Port(), 2s);
  Link link(io, proxy, target);
  asio::write(link.client, asio::buffer(std::string("held when the proxy stops")));

  proxy.Stop();
  EXPECT_EQ(proxy.OpenConnections(), 0u);
  EXPECT_TRUE(ReadsToEnd(link.client, ""));
  EXPECT_TRUE(ReadsToEnd(*link.server, ""));
  tcp::socket late(io);
  error_code refused;
  late.connect(tcp::endpoint(asio::ip::address_v4::loopback(), proxy.Port()), refused);
  EXPECT_TRUE(refused);
  proxy.Stop();  // a second stop does nothing
}

}  // namespace
}  // namespace qit::bench
