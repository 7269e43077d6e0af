#include <gtest/gtest.h>

#include <fmt/format.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "HttpTestClient.h"
#include "ReportLog.h"

namespace qit {
namespace {

using test::ParseResponse;
using test::RawConnection;
using test::ReportLog;
using test::TestServer;

// The start of a request whose last two body bytes have not been sent yet.
constexpr std::string_view kUnfinishedRequest = "POST /Integracao_Telemetria HTTP/1.1\r\nContent-Length: 3\r\n\r\na";

// A connection from the client address `from` that has sent part of a request.
std::unique_ptr<RawConnection> Unfinished(int port, const std::string& from) {
  auto connection = std::make_unique<RawConnection>(port, "127.0.0.1", from);
  connection->Send(kUnfinishedRequest);
  return connection;
}

// Closed by the server at once, without a word.
bool ClosedUnanswered(RawConnection& connection) {
  return connection.Readable(5000) && connection.ReadAll().empty() && !connection.timed_out;
}

// Still waiting for the rest of its request: nothing came back.
bool Held(RawConnection& connection) { return !connection.Readable(300); }

// Sends the rest of the request; true when it was served, which proves that the server had
// taken the connection.
bool FinishedAndServed(RawConnection& connection) {
  connection.Send("bc");
  return ParseResponse(connection.ReadAll()).body == "echo:abc";
}

// A connection from `from` that the server holds. Connections their clients have just closed
// count until the server has seen them end, so a refused attempt is tried again for a while.
std::unique_ptr<RawConnection> HeldConnection(int port, const std::string& from) {
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < give_up) {
    auto connection = Unfinished(port, from);
    if (Held(*connection)) return connection;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return nullptr;
}

TEST(SlowClientTest, ARequestMustArriveWholeBeforeItsDeadline) {
  HttpServerLimits limits;
  limits.read_timeout = std::chrono::seconds(30);
  limits.request_timeout = std::chrono::seconds(1);
  TestServer server(limits);
  struct Case {
    const char* name;
    const char* start;
  };
  const Case cases[] = {
      {"head sent a byte at a time", "POST /Integracao_Telemetria HTTP/1.1\r\nX-Lento: "},
      {"body sent a byte at a time", "POST /Integracao_Telemetria HTTP/1.1\r\nContent-Length: 1000\r\n\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RawConnection connection(server.Port());
    connection.Send(c.start);
    // A byte every 100 ms keeps the read timeout from ever striking; the deadline must.
    bool closed = false;
    for (int i = 0; i < 100 && !closed; ++i) {
      connection.Send("a");
      closed = connection.Readable(100);
    }
    ASSERT_TRUE(closed) << "the connection outlived its deadline by far";
    EXPECT_EQ(connection.ReadAll(), "");
  }
}

TEST(SlowClientTest, OneClientCannotTakeEveryPlaceAndIsCountedInTheLog) {
  HttpServerLimits limits;
  limits.max_connections = 4;
  limits.max_connections_per_client = 3;
  TestServer server(limits);
  ReportLog log;
  server.Pool().SetErrorSink(log.Sink());
  const int port = server.Port();

  // One client holds as many connections as it may; its further ones are closed at once.
  std::vector<std::unique_ptr<RawConnection>> held;
  for (int i = 0; i < 3; ++i) held.push_back(Unfinished(port, "127.0.0.1"));
  for (int i = 0; i < 2; ++i) EXPECT_TRUE(ClosedUnanswered(*Unfinished(port, "127.0.0.1")));
  for (const auto& connection : held) EXPECT_TRUE(Held(*connection));

  // Another client is served at once.
  RawConnection other(port, "127.0.0.1", "127.0.0.2");
  other.Send("GET /rodl HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(other.Readable(5000));
  EXPECT_EQ(ParseResponse(other.ReadAll()).status_line, "HTTP/1.1 200 OK");

  // The refusals make one line within the minute.
  ASSERT_TRUE(log.WaitFor(1));
  const std::vector<test::Line> lines = log.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].location, "HttpListener.ClientLimit");
  EXPECT_EQ(lines[0].class_name, "ESocketError");
  EXPECT_EQ(lines[0].message,
            fmt::format("Conexão de 127.0.0.1 na porta {} recusada: o cliente já tem 3 conexões abertas "
                        "(MaximoConexoesPorCliente)",
                        port));

  // A connection that ends gives its place back to its client, and only that one.
  EXPECT_TRUE(FinishedAndServed(*held[0]));
  held[0] = HeldConnection(port, "127.0.0.1");
  ASSERT_NE(held[0], nullptr);
  EXPECT_TRUE(ClosedUnanswered(*Unfinished(port, "127.0.0.1")));
  for (const auto& connection : held) EXPECT_TRUE(FinishedAndServed(*connection));
}

// A client that has read its answer closes and connects again at once, before the server
// has come back to the old connection to close it: the old one no longer counts.
TEST(SlowClientTest, AClientThatHasItsAnswerMayConnectAgainAtOnce) {
  HttpServerLimits limits;
  limits.max_connections_per_client = 1;
  TestServer server(limits);
  const int port = server.Port();
  int refused = 0;
  for (int i = 0; i < 3000; ++i) {
    RawConnection connection(port);
    connection.Send("GET /rodl HTTP/1.1\r\n\r\n");
    if (ParseResponse(connection.ReadAnswer()).status_line != "HTTP/1.1 200 OK") ++refused;
  }
  EXPECT_EQ(refused, 0);
}

TEST(SlowClientTest, ClientCountsStayExactWhileConnectionsComeAndGo) {
  HttpServerLimits limits;
  limits.max_connections_per_client = 2;
  TestServer server(limits);
  const int port = server.Port();

  // Connections of one client open and end at once on several threads, in the ways a
  // connection ends: answered, refused over the limit, or given up by the client.
  std::vector<std::thread> clients;
  for (int t = 0; t < 4; ++t) {
    clients.emplace_back([port, t] {
      for (int i = 0; i < 40; ++i) {
        RawConnection connection(port);
        if ((t + i) % 3 == 0) {
          connection.Send(kUnfinishedRequest);
          continue;  // closed by the client, unfinished
        }
        connection.Send("GET /rodl HTTP/1.1\r\n\r\n");
        connection.ShutdownWrite();
        connection.ReadAll();
      }
    });
  }
  for (std::thread& client : clients) client.join();

  // Afterwards the client has exactly its two places again: no more, no fewer.
  std::vector<std::unique_ptr<RawConnection>> held;
  for (int i = 0; i < 2; ++i) {
    held.push_back(HeldConnection(port, "127.0.0.1"));
    ASSERT_NE(held.back(), nullptr) << "a place was never given back";
  }
  EXPECT_TRUE(ClosedUnanswered(*Unfinished(port, "127.0.0.1")));
  for (const auto& connection : held) EXPECT_TRUE(FinishedAndServed(*connection));
}

}  // namespace
}  // namespace qit
