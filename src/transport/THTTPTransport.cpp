#include "transport/THTTPTransport.h"

#include "transport/UrlText.h"

namespace qit {

THTTPTransport::THTTPTransport(const HttpRequest& request, HttpResponse& response)
    : request_(request), response_(response), decoded_path_(PercentDecode(SplitRequestTarget(request.target).path)) {
  if (response_.server_software.empty()) response_.server_software = ServerToken();
}

std::string THTTPTransport::PeerAddress() const { return request_.peer_address; }

void THTTPTransport::SetResponseHeader(const std::string& name, const std::string& value) {
  response_.headers.push_back({name, value});
}

std::string THTTPTransport::RequestHeader(const std::string& name) const {
  const std::string* value = request_.FindHeader(name);
  return value ? *value : std::string();
}

std::string THTTPTransport::ResponseContentType() const { return response_.content_type; }

void THTTPTransport::SetResponseContentType(const std::string& content_type) { response_.content_type = content_type; }

std::string THTTPTransport::ServerSoftware() const { return response_.server_software; }

void THTTPTransport::SetServerSoftware(const std::string& text) { response_.server_software = text; }

std::string THTTPTransport::TargetAddress() const { return {}; }

void THTTPTransport::SetTargetAddress(const std::string&) {}

void THTTPTransport::SetPathOverride(const std::string& path) { path_override_ = path; }

std::string THTTPTransport::RequestPath() const { return path_override_.empty() ? decoded_path_ : path_override_; }

std::string THTTPTransport::RequestQuery() const { return std::string(SplitRequestTarget(request_.target).query); }

std::string THTTPTransport::RequestLocation() const {
  // Without a Host field, a request sent to a proxy still names its host in the target.
  const std::string* host = request_.FindHeader("Host");
  return "http://" + (host ? *host : std::string(SplitRequestTarget(request_.target).host));
}

std::string THTTPTransport::QueryParameter(const std::string& name) const {
  return FindQueryParameter(SplitRequestTarget(request_.target).query, name).value_or(std::string());
}

}  // namespace qit
