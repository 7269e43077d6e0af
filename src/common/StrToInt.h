#pragma once

#include <string_view>

#include <fmt/format.h>

#include "common/Errors.h"
#include "common/Text.h"

namespace qit {

// A whole text as a 32-bit decimal integer; anything else fails with the conversion error
// that callers and SOAP faults show ("'abc' is not a valid integer value").
inline int StrToInt(std::string_view text) {
  if (const std::optional<int> value = ParseInt32(text)) return *value;
  throw EConvertError(fmt::format("'{}' is not a valid integer value", text));
}

}  // namespace qit
