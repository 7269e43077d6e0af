#include "HttpTestClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

#include "common/Errors.h"
#include "common/Text.h"

namespace qit::test {

namespace {
constexpr int kGuardMs = 15000;
}

bool FakeMessageHandler::ProcessBody(IHTTPTransport& transport, std::string_view request, std::string& response) {
  if (request == "raise") throw Exception("falhou <aqui>", "EROException");
  transport.SetResponseContentType("text/xml");
  if (request == "fault") {
    response = "<fault/>";
    return false;
  }
  if (request == "transport")
    response = transport.PeerAddress() + " " + transport.RequestLocation() + transport.RequestPath() + "?" +
               transport.RequestQuery();
  else
    response = request == "empty" ? std::string() : "echo:" + std::string(request);
  return true;
}

std::shared_ptr<TROHTTPMessageDispatchers> ServiceDispatchers(std::shared_ptr<IMessageHandler> handler) {
  auto dispatchers = std::make_shared<TROHTTPMessageDispatchers>();
  dispatchers->Add({"SOAPMessage", std::move(handler), true, "Integracao_Telemetria"});
  return dispatchers;
}

RawConnection::RawConnection(int port) {
  fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
    throw std::runtime_error("cannot connect to the test server");
}

RawConnection::~RawConnection() { ::close(fd_); }

void RawConnection::Send(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent <= 0) return;  // the server may close early (413, rejected request)
    bytes.remove_prefix(static_cast<std::size_t>(sent));
  }
}

void RawConnection::ShutdownWrite() { ::shutdown(fd_, SHUT_WR); }

bool RawConnection::Readable(int wait_ms) {
  pollfd poll_fd{fd_, POLLIN, 0};
  return ::poll(&poll_fd, 1, wait_ms) > 0;
}

std::string RawConnection::ReadAll() {
  std::string received;
  char buffer[16384];
  for (;;) {
    if (!Readable(kGuardMs)) {
      timed_out = true;
      break;
    }
    const ssize_t got = ::recv(fd_, buffer, sizeof buffer, 0);
    if (got <= 0) break;  // end, or a reset after the server closed
    received.append(buffer, static_cast<std::size_t>(got));
  }
  return received;
}

std::string RawResponse::Header(std::string_view name) const {
  for (const auto& [key, value] : headers)
    if (SameText(key, name)) return value;
  return {};
}

RawResponse ParseResponse(const std::string& raw) {
  RawResponse response;
  const std::size_t head_end = raw.find("\r\n\r\n");
  if (head_end == std::string::npos) return response;
  std::string_view head(raw.data(), head_end);
  response.body = raw.substr(head_end + 4);
  std::size_t line_end = head.find("\r\n");
  response.status_line = head.substr(0, line_end);
  while (line_end != std::string_view::npos) {
    head.remove_prefix(line_end + 2);
    line_end = head.find("\r\n");
    const std::string_view line = head.substr(0, line_end);
    const std::size_t colon = line.find(": ");
    response.headers.emplace_back(line.substr(0, colon), line.substr(colon + 2));
  }
  return response;
}

std::string Exchange(int port, std::string_view request) {
  RawConnection connection(port);
  connection.Send(request);
  connection.ShutdownWrite();
  return connection.ReadAll();
}

TestServer::TestServer(const HttpServerLimits& limits, const HttpServeOptions& options)
    : server_(pool_, ServiceDispatchers(handler)) {
  server_.SetLimits(limits);
  server_.SetServeRodl(options.serve_rodl);
  server_.SetServeInfoPage(options.serve_info_page);
  server_.SetSendExceptionsAs500(options.send_exceptions_as_500);
  server_.SetActive(true);
}

}  // namespace qit::test
