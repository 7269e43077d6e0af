#include "workers/InsertSteps.h"

#include <fmt/format.h>

#include "common/Text.h"

namespace qit {

void InsertSteps::Log(std::string_view vehicle, std::string_view text) {
  // The vehicle and the step's identifiers and descriptions came with a request.
  last_ = fmt::format("InserirIntegracao Id Veículo:[{}] - {}", RequestText(vehicle), RequestText(text));
  log_.Registrar("", false, last_, stDebug);
  if (watch_) watch_->Begin(last_);
}

}  // namespace qit
