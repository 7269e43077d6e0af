#include <gtest/gtest.h>

#include <fmt/format.h>

#include "HttpTestClient.h"
#include "common/Errors.h"
#include "transport/HttpMessage.h"

namespace qit {
namespace {

using test::Exchange;
using test::ParseResponse;
using test::RawConnection;
using test::RawResponse;
using test::TestServer;

using HeaderList = std::vector<std::pair<std::string, std::string>>;

TEST(ListenerTest, ResponsesCarryExactlyTheFourHeaderFields) {
  TestServer server;
  const RawResponse echo = ParseResponse(
      Exchange(server.Port(), "POST /Integracao_Telemetria HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc"));
  EXPECT_EQ(echo.status_line, "HTTP/1.1 200 OK");
  EXPECT_EQ(echo.headers, (HeaderList{{"Connection", "close"},
                                      {"Content-Type", "text/xml"},
                                      {"Content-Length", "8"},
                                      {"Server", "QueltoIntegradorTelemetria/3.3.0.0"}}));
  EXPECT_EQ(echo.body, "echo:abc");

  // An empty body goes without Content-Length.
  const RawResponse empty = ParseResponse(
      Exchange(server.Port(), "POST /Integracao_Telemetria HTTP/1.1\r\nContent-Length: 5\r\n\r\nempty"));
  EXPECT_EQ(empty.headers, (HeaderList{{"Connection", "close"},
                                       {"Content-Type", "text/xml"},
                                       {"Server", "QueltoIntegradorTelemetria/3.3.0.0"}}));
  EXPECT_EQ(empty.body, "");
}

TEST(ListenerTest, TheHandlerSeesTheRequestThroughItsTransport) {
  TestServer server;
  const RawResponse response = ParseResponse(Exchange(
      server.Port(),
      "POST /Integracao_Telemetria/%C3%A1?wsdl&x=1 HTTP/1.1\r\nHost: 10.1.1.5:10166\r\nContent-Length: 9\r\n\r\ntransport"));
  EXPECT_EQ(response.body, "127.0.0.1 http://10.1.1.5:10166/Integracao_Telemetria/\xC3\xA1?wsdl&x=1");
}

TEST(ListenerTest, HeadGetsTheHeadOfTheSameAnswerAndNoBody) {
  TestServer server;
  for (const char* target : {"/", "/Integracao_Telemetria", "/outro"}) {
    SCOPED_TRACE(target);
    const std::string get = Exchange(server.Port(), fmt::format("GET {} HTTP/1.1\r\nHost: h\r\n\r\n", target));
    const std::string head = Exchange(server.Port(), fmt::format("HEAD {} HTTP/1.1\r\nHost: h\r\n\r\n", target));
    EXPECT_EQ(head, get.substr(0, get.find("\r\n\r\n") + 4));
    EXPECT_FALSE(ParseResponse(head).Header("Content-Length").empty());
  }
}

TEST(ListenerTest, RequestsThatAreNotServedAreClosedWithoutAnAnswer) {
  TestServer server;
  const char* requests[] = {
      "GARBAGE\r\n\r\n",
      "GET /semversao\r\n\r\n",
      "DELETE /Integracao_Telemetria HTTP/1.1\r\n\r\n",
      "PUT /Integracao_Telemetria HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc",
      "GET / HTTP/1.1\r\nAuthorization: Bearer abc\r\n\r\n",
      "GET / HTTP/1.1\r\nAuthorization: Digest username=\"x\"\r\n\r\n",
      "POST /Integracao_Telemetria HTTP/1.1\r\nContent-Length: 10\r\n\r\nabc",
  };
  for (const char* request : requests) {
    SCOPED_TRACE(request);
    RawConnection connection(server.Port());
    connection.Send(request);
    connection.ShutdownWrite();
    EXPECT_EQ(connection.ReadAll(), "");
    EXPECT_FALSE(connection.timed_out);
  }
}

TEST(ListenerTest, BasicAuthorizationIsAcceptedInAnyCase) {
  TestServer server;
  for (const char* scheme : {"Basic", "basic"}) {
    const RawResponse response = ParseResponse(Exchange(
        server.Port(), fmt::format("GET /rodl HTTP/1.1\r\nAuthorization: {} dXNlcjpzZW5oYQ==\r\n\r\n", scheme)));
    EXPECT_EQ(response.status_line, "HTTP/1.1 200 OK") << scheme;
  }
}

TEST(ListenerTest, BodiesArriveByLengthByChunksOrUntilTheClientStopsSending) {
  TestServer server;
  struct Case {
    const char* name;
    std::string request;
  };
  const Case cases[] = {
      {"length", "POST /Integracao_Telemetria HTTP/1.1\r\nContent-Length: 11\r\n\r\ncorpo longo"},
      {"chunked", "POST /Integracao_Telemetria HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
                  "6\r\ncorpo \r\n5\r\nlongo\r\n0\r\n\r\n"},
      {"until the client closes", "POST /Integracao_Telemetria HTTP/1.0\r\n\r\ncorpo longo"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const RawResponse response = ParseResponse(Exchange(server.Port(), c.request));
    EXPECT_EQ(response.status_line, "HTTP/1.1 200 OK");
    EXPECT_EQ(response.body, "echo:corpo longo");
  }
}

TEST(ListenerTest, NoInterimAnswerToExpectContinueAndNoKeepAlive) {
  TestServer server;
  RawConnection connection(server.Port());
  // The client asks for keep-alive and an interim answer, and never closes its side.
  connection.Send("POST /Integracao_Telemetria HTTP/1.1\r\nConnection: keep-alive\r\nExpect: 100-continue\r\n"
                  "Content-Length: 3\r\n\r\n");
  connection.Send("abc");
  const RawResponse response = ParseResponse(connection.ReadAll());
  EXPECT_FALSE(connection.timed_out);  // the server closed the connection
  EXPECT_EQ(response.status_line, "HTTP/1.1 200 OK");
  EXPECT_EQ(response.Header("Connection"), "close");
  EXPECT_EQ(response.body, "echo:abc");
}

TEST(ListenerTest, RequestsWhoseLengthCouldBeReadTwoWaysGet400AndAreClosed) {
  TestServer server;
  const char* requests[] = {
      "POST /Integracao_Telemetria HTTP/1.1\r\nContent-Length: 3\r\nContent-Length: 4\r\n\r\nabcd",
      "POST /Integracao_Telemetria HTTP/1.1\r\nContent-Length: -1\r\n\r\nabc",
      "POST /Integracao_Telemetria HTTP/1.1\r\nContent-Length: +899\r\n\r\nabc",
      "POST /Integracao_Telemetria HTTP/1.1\r\nContent-Length: 0x10\r\n\r\nabc",
      "POST /Integracao_Telemetria HTTP/1.1\r\nTransfer-Encoding: chunked\r\nContent-Length: 8\r\n\r\n"
      "3\r\nabc\r\n0\r\n\r\n",
      "POST /Integracao_Telemetria HTTP/1.1\r\nTransfer-Encoding: gzip, chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n",
      "POST /Integracao_Telemetria HTTP/1.1\r\nTransfer-Encoding: identity\r\n\r\nabc",
      "POST /Integracao_Telemetria HTTP/1.1\r\nContent-Length : 3\r\n\r\nabc",
  };
  for (const char* request : requests) {
    SCOPED_TRACE(request);
    // The client keeps its side open: the answer must not wait for it to close, nor for the
    // read timeout.
    RawConnection connection(server.Port());
    connection.Send(request);
    const std::string raw = connection.ReadAll();
    EXPECT_FALSE(connection.timed_out);
    const RawResponse response = ParseResponse(raw);
    EXPECT_EQ(response.status_line, "HTTP/1.1 400 Bad Request");
    EXPECT_EQ(response.headers, (HeaderList{{"Connection", "close"},
                                            {"Content-Type", "text/html"},
                                            {"Content-Length", std::to_string(response.body.size())},
                                            {"Server", ServerToken()}}));
  }
}

TEST(ListenerTest, CallersOnIpv6AndIpv4ReachTheSamePort) {
  if (!test::Ipv6LoopbackAvailable()) GTEST_SKIP() << "this machine has no IPv6 loopback address ::1";
  TestServer server;
  // Each caller is known by its own address: an IPv4 caller as IPv4, not as ::ffff:127.0.0.1.
  for (const char* address : {"::1", "127.0.0.1"}) {
    SCOPED_TRACE(address);
    RawConnection connection(server.Port(), address);
    connection.Send("POST /Integracao_Telemetria HTTP/1.1\r\nHost: h\r\nContent-Length: 9\r\n\r\ntransport");
    connection.ShutdownWrite();
    const RawResponse response = ParseResponse(connection.ReadAll());
    EXPECT_EQ(response.status_line, "HTTP/1.1 200 OK");
    EXPECT_EQ(response.body, std::string(address) + " http://h/Integracao_Telemetria?");
  }
}

TEST(ListenerTest, BodiesOverTheLimitGet413AndAreNotRead) {
  HttpServerLimits limits;
  limits.max_body_bytes = 1000;
  TestServer server(limits);
  const std::string big(1001, 'x');
  const std::string requests[] = {
      // The client announces a body it never sends: the answer comes without waiting for it.
      "POST /Integracao_Telemetria HTTP/1.1\r\nContent-Length: 1001\r\n\r\n",
      "POST /Integracao_Telemetria HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n3E9\r\n" + big,
      "POST /Integracao_Telemetria HTTP/1.1\r\n\r\n" + big,
  };
  for (const std::string& request : requests) {
    SCOPED_TRACE(request.substr(0, 70));
    RawConnection connection(server.Port());
    connection.Send(request);
    const RawResponse response = ParseResponse(connection.ReadAll());
    EXPECT_FALSE(connection.timed_out);
    EXPECT_EQ(response.status_line, "HTTP/1.1 413 Payload Too Large");
    EXPECT_EQ(response.Header("Connection"), "close");
    EXPECT_EQ(response.Header("Content-Length"), std::to_string(response.body.size()));
  }
  // At the limit the body is served.
  const RawResponse at_limit = ParseResponse(
      Exchange(server.Port(), "POST /Integracao_Telemetria HTTP/1.1\r\nContent-Length: 1000\r\n\r\n" + big.substr(1)));
  EXPECT_EQ(at_limit.status_line, "HTTP/1.1 200 OK");
}

TEST(ListenerTest, SilentConnectionsAreClosedAfterTheReadTimeout) {
  HttpServerLimits limits;
  limits.read_timeout = std::chrono::seconds(1);
  TestServer server(limits);
  RawConnection silent(server.Port());
  EXPECT_EQ(silent.ReadAll(), "");
  EXPECT_FALSE(silent.timed_out);

  RawConnection half(server.Port());
  half.Send("GET / HTTP/1.1\r\nHost: h\r\n");
  EXPECT_EQ(half.ReadAll(), "");
  EXPECT_FALSE(half.timed_out);
}

TEST(ListenerTest, APortInUseFailsTheActivationAndLeavesTheOwnerServing) {
  TestServer server;
  HttpIoPool pool(1);
  TROHTTPServer second(pool, test::ServiceDispatchers(std::make_shared<test::FakeMessageHandler>()));
  second.SetPort(server.Port());
  try {
    second.SetActive(true);
    FAIL() << "the busy port was bound twice";
  } catch (const Exception& error) {
    EXPECT_STREQ(error.what(), "Could not bind socket. Address and port are already in use.");
  }
  EXPECT_FALSE(second.Active());
  const RawResponse response = ParseResponse(Exchange(server.Port(), "GET /rodl HTTP/1.1\r\n\r\n"));
  EXPECT_EQ(response.status_line, "HTTP/1.1 200 OK");
}

TEST(ListenerTest, DeactivationDisconnectsOpenConnectionsAndReleasesThePort) {
  TestServer server;
  const int port = server.Port();
  RawConnection idle(port);
  RawConnection half(port);
  half.Send("POST /Integracao_Telemetria HTTP/1.1\r\n\r\nparte");
  ASSERT_EQ(ParseResponse(Exchange(port, "GET /rodl HTTP/1.1\r\n\r\n")).status_line, "HTTP/1.1 200 OK");

  server.Server().SetActive(false);
  EXPECT_FALSE(server.Server().Active());
  EXPECT_EQ(idle.ReadAll(), "");
  EXPECT_FALSE(idle.timed_out);
  EXPECT_EQ(half.ReadAll(), "");
  EXPECT_FALSE(half.timed_out);

  // The same port can be bound again at once, and the listener comes back.
  server.Server().SetPort(port);
  server.Server().SetActive(true);
  EXPECT_EQ(server.Port(), port);
  EXPECT_EQ(ParseResponse(Exchange(port, "GET /rodl HTTP/1.1\r\n\r\n")).status_line, "HTTP/1.1 200 OK");
}

TEST(ListenerTest, ConnectionsOverTheLimitWaitUntilOneEnds) {
  for (const std::size_t limit : {1u, 2u}) {
    SCOPED_TRACE(limit);
    HttpServerLimits limits;
    limits.max_connections = limit;
    TestServer server(limits);
    // The first connection holds its place: a POST read until the client stops sending.
    RawConnection first(server.Port());
    first.Send("POST /Integracao_Telemetria HTTP/1.0\r\n\r\nprimeiro");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // let the server take it first

    RawConnection second(server.Port());
    second.Send("GET /rodl HTTP/1.1\r\n\r\n");
    second.ShutdownWrite();
    // With one place the second waits in the backlog; with two it is answered at once.
    EXPECT_EQ(second.Readable(300), limit == 2);

    first.ShutdownWrite();
    EXPECT_EQ(ParseResponse(first.ReadAll()).body, "echo:primeiro");
    EXPECT_EQ(ParseResponse(second.ReadAll()).status_line, "HTTP/1.1 200 OK");
  }
}

}  // namespace
}  // namespace qit
