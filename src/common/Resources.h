#pragma once

#include <string_view>

namespace qit {

// The bytes of a file compiled into the program from resources/, by its resource name
// ("RODLFILE", ...). An unknown name gives an empty view.
std::string_view FindResource(std::string_view name);

}  // namespace qit
