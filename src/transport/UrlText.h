#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qit {

// The parts of a request target: "/path?query" or "http://host/path?query".
struct RequestTarget {
  std::string_view host;   // only for an absolute URL
  std::string_view path;   // up to "?", still percent-encoded
  std::string_view query;  // the text after the first "?"
};

RequestTarget SplitRequestTarget(std::string_view target);

// Replaces every "%" followed by two hexadecimal digits with the byte they name, and, in
// query texts, every "+" with a blank. A "%" not followed by two digits is kept as it is.
std::string PercentDecode(std::string_view text, bool plus_is_blank = false);

// The decoded value of the first query parameter whose decoded name equals name (letter
// case ignored); std::nullopt when there is none. A parameter without "=" has an empty value.
std::optional<std::string> FindQueryParameter(std::string_view query, std::string_view name);

}  // namespace qit
