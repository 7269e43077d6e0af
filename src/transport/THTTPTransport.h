#pragma once

#include <string>

#include "contract/ROTransport.h"
#include "transport/HttpMessage.h"

namespace qit {

// The transport of one HTTP exchange: what the message handler, the service description
// and the service operation see of the request, and the response they shape. It lives on
// the stack of the request's routing and is never shared between requests.
class THTTPTransport final : public IHTTPTransport {
 public:
  THTTPTransport(const HttpRequest& request, HttpResponse& response);

  IHTTPTransport* TransportInstance() override { return this; }
  std::string PeerAddress() const override;
  int LocalPort() const override { return request_.local_port; }
  std::chrono::steady_clock::time_point RequestReceived() const override { return request_.received; }
  // Recorded only: the response carries a fixed set of header fields.
  void SetResponseHeader(const std::string& name, const std::string& value) override;
  std::string RequestHeader(const std::string& name) const override;
  std::string ResponseContentType() const override;
  void SetResponseContentType(const std::string& content_type) override;
  std::string ServerSoftware() const override;
  // Does not change the Server field, which always names this program.
  void SetServerSoftware(const std::string& text) override;
  // There is no target address over plain HTTP: always empty; setting it has no effect.
  std::string TargetAddress() const override;
  void SetTargetAddress(const std::string& address) override;
  void SetPathOverride(const std::string& path) override;
  std::string RequestPath() const override;
  std::string RequestQuery() const override;
  std::string RequestLocation() const override;
  std::string QueryParameter(const std::string& name) const override;

 private:
  const HttpRequest& request_;
  HttpResponse& response_;
  std::string decoded_path_;
  std::string path_override_;
};

}  // namespace qit
