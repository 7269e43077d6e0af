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

// An IPv4 or IPv6 address and port, from its text.
struct SocketAddress {
  SocketAddress(const std::string& text, int port) {
    const auto port_bytes = htons(static_cast<uint16_t>(port));
    auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
    if (::inet_pton(AF_INET, text.c_str(), &v4->sin_addr) == 1) {
      v4->sin_family = AF_INET;
      v4->sin_port = port_bytes;
      length = sizeof(sockaddr_in);
    } else if (::inet_pton(AF_INET6, text.c_str(), &v6->sin6_addr) == 1) {
      v6->sin6_family = AF_INET6;
      v6->sin6_port = port_bytes;
      length = sizeof(sockaddr_in6);
    } else {
      throw std::runtime_error("not an IP address: " + text);
    }
  }
  int Family() const { return storage.ss_family; }
  const sockaddr* Get() const { return reinterpret_cast<const sockaddr*>(&storage); }

  sockaddr_storage storage{};
  socklen_t length = 0;
};

}  // namespace

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

RawConnection::RawConnection(int port, const std::string& server, const std::string& local) {
  const SocketAddress to(server, port);
  fd_ = ::socket(to.Family(), SOCK_STREAM, 0);
  const auto fail = [this](const std::string& what) {
    if (fd_ >= 0) ::close(fd_);  // the destructor does not run for a constructor that raises
    throw std::runtime_error(what);
  };
  if (fd_ < 0) fail("cannot open a socket for " + server);
  if (!local.empty()) {
    const SocketAddress from(local, 0);
    if (::bind(fd_, from.Get(), from.length) != 0) fail("cannot bind the client to " + local);
  }
  if (::connect(fd_, to.Get(), to.length) != 0) fail("cannot connect to the test server at " + server);
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

std::string RawConnection::ReadAnswer() {
  std::string received;
  char buffer[16384];
  for (;;) {
    if (const std::size_t head_end = received.find("\r\n\r\n"); head_end != std::string::npos) {
      const std::string length = ParseResponse(received).Header("Content-Length");
      if (!length.empty() && received.size() >= head_end + 4 + std::stoul(length)) return received;
    }
    if (!Readable(kGuardMs)) {
      timed_out = true;
      return received;
    }
    const ssize_t got = ::recv(fd_, buffer, sizeof buffer, 0);
    if (got <= 0) return received;
    received.append(buffer, static_cast<std::size_t>(got));
  }
}

bool Ipv6LoopbackAvailable() {
  const int fd = ::socket(AF_INET6, SOCK_STREAM, 0);
  if (fd < 0) return false;
  const SocketAddress loopback("::1", 0);
  const bool bound = ::bind(fd, loopback.Get(), loopback.length) == 0;
  ::close(fd);
  return bound;
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
