#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include <fmt/format.h>

#include "common/Text.h"

namespace qit {

// The text of an XML document that does not parse: the parser's reason and the line and
// position (both from 1) where it stopped. The connection file and SOAP envelopes share it.
inline std::string XmlLoadError(std::string_view document, std::ptrdiff_t offset, std::string_view reason) {
  const TextPosition at = PositionInText(document, offset < 0 ? 0 : static_cast<std::size_t>(offset));
  return fmt::format("Cannot load XML document.\rReason: {}\rLine: {}\rPosition: {}", reason, at.line, at.column);
}

}  // namespace qit
