#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace qit {

struct HttpHeader {
  std::string name;
  std::string value;
};

// One HTTP request as the listener read it off the connection.
struct HttpRequest {
  // "GET", "POST" or "HEAD" (any method on a listener with its own handler), upper case
  // whatever the client sent
  std::string method;
  std::string target;  // the request target as sent: a path or an absolute URL, with query
  std::string version;
  std::vector<HttpHeader> headers;  // in the order received, values trimmed
  std::string body;                 // decoded when it came in chunks
  std::string peer_address;
  int local_port = 0;  // of the listener that received the request
  // When the request had been read whole; the epoch when it did not come off a connection.
  std::chrono::steady_clock::time_point received;

  // The first header field of that name (letter case ignored); nullptr when absent.
  const std::string* FindHeader(std::string_view name) const;
};

// The answer under construction. Only the status, content type and body reach the wire;
// the rest is kept for the holders of the request transport.
struct HttpResponse {
  int status = 200;
  std::string content_type = "text/html";
  std::string body;
  std::vector<HttpHeader> headers;
  std::string server_software;
  // The methods a 405 answer names in its Allow field; empty: no such field.
  std::string allow;
};

// The status line, the fields Connection, Content-Type, Content-Length (left out for an
// empty body), Allow (only when set) and Server, and the empty line that ends the head.
std::string FormatResponseHead(const HttpResponse& response);

// "OK", "Bad Request", "Not Found", "Method Not Allowed", "Internal Server Error", "Payload Too
// Large", "Service Unavailable".
std::string_view ReasonPhrase(int status);

// The product token every response carries in its Server field.
std::string ServerToken();

}  // namespace qit
