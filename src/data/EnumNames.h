#pragma once

#include <algorithm>
#include <array>
#include <optional>
#include <string_view>
#include <utility>

#include "common/Text.h"

namespace qit {

// An enumeration value by its name (for example "pbWait"), in any letter case.
template <class Enum, std::size_t N>
std::optional<Enum> EnumByName(const std::array<std::pair<std::string_view, Enum>, N>& names, std::string_view text) {
  const auto found =
      std::find_if(names.begin(), names.end(), [&](const auto& entry) { return SameText(entry.first, text); });
  if (found == names.end()) return std::nullopt;
  return found->second;
}

}  // namespace qit
