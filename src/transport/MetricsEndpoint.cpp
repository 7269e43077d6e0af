#include "transport/MetricsEndpoint.h"

#include <string_view>

#include "common/ServiceMetrics.h"
#include "transport/UrlText.h"

namespace qit {

namespace {

constexpr const char* kPlainText = "text/plain; charset=utf-8";

HttpResponse PlainAnswer(int status, std::string body) {
  HttpResponse response;
  response.status = status;
  response.content_type = kPlainText;
  response.body = std::move(body);
  return response;
}

// The path of a request target: an absolute URL loses its scheme and authority, any target
// its query and fragment.
std::string_view TargetPath(std::string_view target) {
  const std::string_view path = SplitRequestTarget(target).path;
  return path.substr(0, path.find('#'));
}

}  // namespace

HttpResponse MetricsEndpoint::operator()(const HttpRequest& request) const {
  const std::string_view path = TargetPath(request.target);
  const bool metrics = path == "/metrics";
  if (!metrics && path != "/health") return PlainAnswer(404, "caminho desconhecido: use /metrics ou /health\n");
  if (request.method != "GET" && request.method != "HEAD") {
    HttpResponse refused = PlainAnswer(405, "método não permitido: use GET\n");
    refused.allow = "GET, HEAD";
    return refused;
  }
  if (!metrics) {
    const std::string problem = health_problem_ ? health_problem_() : std::string();
    return problem.empty() ? PlainAnswer(200, "ok\n") : PlainAnswer(503, problem + "\n");
  }
  HttpResponse response = PlainAnswer(200, MetricsText(sources_));
  response.content_type = kMetricsContentType;
  return response;
}

}  // namespace qit
