#pragma once

#include <functional>
#include <string>

#include "logging/VoradaLogger.h"

namespace qit {

// Receives the step texts of the control operations. The insert worker passes its own step
// logging, which prefixes the record's vehicle and keeps the text as the pass's last step.
using StepLogger = std::function<void(const std::string& text)>;

// Writes "-> name" on entry and the matching "<- name" on every way out of a scope, so a
// failing call leaves the same pair of lines as a successful one.
class MethodScope {
 public:
  MethodScope(TVoradaLogger& log, std::string_view name) : log_(log) { log_.EntrarMetodo(name, false, true, stDebug); }
  ~MethodScope() { log_.SairMetodo(false, stDebug); }
  MethodScope(const MethodScope&) = delete;
  MethodScope& operator=(const MethodScope&) = delete;

 private:
  TVoradaLogger& log_;
};

}  // namespace qit
