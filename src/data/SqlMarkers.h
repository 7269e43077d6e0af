#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qit {

// A statement text with its named markers (":NAME" or "?NAME") replaced by the "?" the
// server understands, and the marker names in the order they occur. A plain "?" is kept as
// an unnamed marker (empty name). Text inside string literals, quoted identifiers and
// comments is left alone.
struct MarkedSql {
  std::string text;
  std::vector<std::string> markers;
};

MarkedSql ParseMarkers(std::string_view sql);

}  // namespace qit
