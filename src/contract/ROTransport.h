#pragma once

#include <chrono>
#include <string>

namespace qit {

class IHTTPTransport;

// The transport of one request, as the message layer and the service see it.
class IROTransport {
 public:
  virtual ~IROTransport() = default;
  // The HTTP exchange behind this transport, or nullptr when it is not an HTTP transport.
  virtual IHTTPTransport* TransportInstance() = 0;
};

// One HTTP request and the response under construction, for the time of that exchange.
class IHTTPTransport : public IROTransport {
 public:
  virtual std::string PeerAddress() const = 0;
  // The local port the request arrived on; 0 when unknown.
  virtual int LocalPort() const = 0;
  // When the request had been read whole; the epoch when unknown.
  virtual std::chrono::steady_clock::time_point RequestReceived() const = 0;
  virtual void SetResponseHeader(const std::string& name, const std::string& value) = 0;
  // Value of a request header field, blanks trimmed; empty when absent.
  virtual std::string RequestHeader(const std::string& name) const = 0;
  virtual std::string ResponseContentType() const = 0;
  virtual void SetResponseContentType(const std::string& content_type) = 0;
  virtual std::string ServerSoftware() const = 0;
  virtual void SetServerSoftware(const std::string& text) = 0;
  virtual std::string TargetAddress() const = 0;
  virtual void SetTargetAddress(const std::string& address) = 0;
  virtual void SetPathOverride(const std::string& path) = 0;
  // The path override when set, else the request's percent-decoded path without query.
  virtual std::string RequestPath() const = 0;
  virtual std::string RequestQuery() const = 0;
  // "http://" followed by the request's Host value.
  virtual std::string RequestLocation() const = 0;
  virtual std::string QueryParameter(const std::string& name) const = 0;
};

}  // namespace qit
