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

// The statement text with its n-th marker (named or plain, counted from 1 in the order
// ParseMarkers finds them) written as ":<prefix><n>": the form a statement takes inside a
// block of procedural SQL, whose variables stand for the markers.
std::string RenameMarkers(std::string_view sql, std::string_view prefix);

}  // namespace qit
