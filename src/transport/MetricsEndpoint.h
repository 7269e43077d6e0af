#pragma once

#include <functional>
#include <string>
#include <vector>

#include "transport/HttpMessage.h"

namespace prometheus {
class Collectable;
}

namespace qit {

// The answer of the metrics listener: GET /metrics, the families of its sources in the text
// exposition format; GET /health, 200 "ok" when the health check finds nothing wrong, else
// 503 with the reason on one line. HEAD as GET; other methods 405 (with Allow); other paths
// 404. Any thread may answer at once; it is the request handler of its listener.
class MetricsEndpoint {
 public:
  // Empty when healthy, else the reason, on one line.
  using HealthCheck = std::function<std::string()>;

  // The sources and whatever the health check reads must outlive the endpoint and every
  // copy of it.
  MetricsEndpoint(std::vector<const prometheus::Collectable*> sources, HealthCheck health_problem)
      : sources_(std::move(sources)), health_problem_(std::move(health_problem)) {}

  HttpResponse operator()(const HttpRequest& request) const;

 private:
  std::vector<const prometheus::Collectable*> sources_;
  HealthCheck health_problem_;
};

}  // namespace qit
