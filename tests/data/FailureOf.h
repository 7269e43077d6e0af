#pragma once

#include <functional>
#include <string>

#include "common/Errors.h"

namespace qit::testing {

// The message of the error an action raises, or "no error".
inline std::string FailureOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const Exception& error) {
    return error.Message();
  }
  return "no error";
}

}  // namespace qit::testing
