#include "host/EnviarEnvironment.h"

namespace qit {

void EnviarEnvironment::AddPort(int port, int company_code) {
  std::lock_guard lock(mutex_);
  ports_.emplace_back(port, company_code);
}

std::optional<int> EnviarEnvironment::CompanyCodeOfPort(int port) {
  std::lock_guard lock(mutex_);
  for (const auto& [listener_port, company_code] : ports_)
    if (listener_port == port) return company_code;
  return std::nullopt;
}

}  // namespace qit
