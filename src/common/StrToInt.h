#pragma once

#include <string_view>

#include <fmt/format.h>

#include "common/Errors.h"
#include "common/Text.h"

namespace qit {

// The conversion error that callers, logs and SOAP faults show for a text that is not an
// integer ("'abc' is not a valid integer value"). The text may come with a request: it is
// quoted as RequestText makes it.
inline EConvertError InvalidIntegerError(std::string_view text) {
  return EConvertError(fmt::format("'{}' is not a valid integer value", RequestText(text)));
}

// A whole text as a 32-bit decimal integer; anything else fails with InvalidIntegerError.
inline int StrToInt(std::string_view text) {
  if (const std::optional<int> value = ParseInt32(text)) return *value;
  throw InvalidIntegerError(text);
}

}  // namespace qit
