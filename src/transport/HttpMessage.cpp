#include "transport/HttpMessage.h"

#include <fmt/format.h>

#include "common/Text.h"
#include "common/Version.h"

namespace qit {

const std::string* HttpRequest::FindHeader(std::string_view name) const {
  for (const HttpHeader& header : headers)
    if (SameText(header.name, name)) return &header.value;
  return nullptr;
}

std::string_view ReasonPhrase(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 400:
      return "Bad Request";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 413:
      return "Payload Too Large";
    case 500:
      return "Internal Server Error";
    case 503:
      return "Service Unavailable";
    default:
      return "Unknown";
  }
}

std::string ServerToken() { return fmt::format("{}/{}", kProductName, kVersion); }

std::string FormatResponseHead(const HttpResponse& response) {
  std::string head = fmt::format("HTTP/1.1 {} {}\r\nConnection: close\r\nContent-Type: {}\r\n", response.status,
                                 ReasonPhrase(response.status), response.content_type);
  if (!response.body.empty()) fmt::format_to(std::back_inserter(head), "Content-Length: {}\r\n", response.body.size());
  if (!response.allow.empty()) fmt::format_to(std::back_inserter(head), "Allow: {}\r\n", response.allow);
  fmt::format_to(std::back_inserter(head), "Server: {}/{}\r\n\r\n", kProductName, kVersion);
  return head;
}

}  // namespace qit
