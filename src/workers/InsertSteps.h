#pragma once

#include <string>
#include <string_view>

#include "logging/VoradaLogger.h"
#include "workers/StepWatch.h"

namespace qit {

// The insert worker's step lines, "InserirIntegracao Id Veículo:[<vehicle>] - <text>": written
// at the debug level, told to the step watch (when there is one), and the last one kept, for
// the lines of a failure to name the step it happened in. Used by the worker's thread only.
class InsertSteps {
 public:
  InsertSteps(TVoradaLogger& log, StepWatch* watch) : log_(log), watch_(watch) {}

  // A step of the record of `vehicle`; empty for a step of no record.
  void Log(std::string_view vehicle, std::string_view text);
  // The last step's line; empty at the start of a pass.
  const std::string& Last() const { return last_; }
  void Clear() { last_.clear(); }

 private:
  TVoradaLogger& log_;
  StepWatch* const watch_;
  std::string last_;
};

}  // namespace qit
