#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "TestMessageHandler.h"
#include "transport/HttpIoPool.h"
#include "transport/TROHTTPServer.h"

namespace qit::test {

// A message handler whose answer is chosen by the request body: "fault" writes a fault,
// "raise" raises, "empty" answers nothing, "transport" tells what the transport says of
// the request, anything else is echoed.
class FakeMessageHandler : public TestMessageHandler {
 protected:
  bool ProcessBody(IHTTPTransport& transport, std::string_view request, std::string& response) override;
};

// A dispatcher table like the service's: "Integracao_Telemetria" to one handler.
std::shared_ptr<TROHTTPMessageDispatchers> ServiceDispatchers(std::shared_ptr<IMessageHandler> handler);

// One raw exchange with a server on the loopback interface.
class RawConnection {
 public:
  // server: the server's address, IPv4 or IPv6; local: the address the connection comes
  // from (127.0.0.2 is a client of its own on the loopback interface), empty for the
  // system's choice.
  explicit RawConnection(int port, const std::string& server = "127.0.0.1", const std::string& local = {});
  ~RawConnection();
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;

  void Send(std::string_view bytes);
  void ShutdownWrite();
  // Whether bytes (or the end) arrive within the wait.
  bool Readable(int wait_ms);
  // Everything until the server closes. A guard of some seconds keeps a broken server from
  // hanging the test; timed_out tells when it struck.
  std::string ReadAll();
  // An answer with a Content-Length, read up to its last byte without waiting for the
  // server to close (as a client does that connects again at once); what came if it closed
  // before.
  std::string ReadAnswer();
  bool timed_out = false;

 private:
  int fd_ = -1;
};

struct RawResponse {
  std::string status_line;
  std::vector<std::pair<std::string, std::string>> headers;  // in order
  std::string body;
  std::string Header(std::string_view name) const;
};

// Whether this machine can take connections on the IPv6 loopback address ::1.
bool Ipv6LoopbackAvailable();

// Splits what a server sent into status line, header fields and body.
RawResponse ParseResponse(const std::string& raw);

// Sends a request, closes the sending side and reads the whole answer.
std::string Exchange(int port, std::string_view request);

// A pool and one active listener on a port of the system's choice, serving the fake handler.
class TestServer {
 public:
  explicit TestServer(const HttpServerLimits& limits = {}, const HttpServeOptions& options = {});
  int Port() const { return server_.BoundPort(); }
  TROHTTPServer& Server() { return server_; }
  HttpIoPool& Pool() { return pool_; }

  const std::shared_ptr<FakeMessageHandler> handler = std::make_shared<FakeMessageHandler>();

 private:
  HttpIoPool pool_;
  TROHTTPServer server_;
};

}  // namespace qit::test
