#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qit {

// A connection string taken apart: "DRIVER?Key=Value;Key=Value;...".
struct ConnectionStringParts {
  std::string Driver;
  std::string Server;
  std::string Database;
  std::string UserID;
  std::string Password;
  std::string AuxDriver;  // read and not used
  // Every pair in order, the well-known keys above included.
  std::vector<std::pair<std::string, std::string>> AuxParams;

  // The value of the first pair with this key, in any letter case.
  std::optional<std::string> Find(std::string_view key) const;
};

// The string is trimmed; the driver is the trimmed text before the first "?" (empty when
// there is none); the rest is split at every ";" (empty pieces add nothing, pieces are not
// trimmed) and each piece at its first "=".
ConnectionStringParts ParseConnectionString(std::string_view text);

// The driver part alone.
std::string ConnectionStringDriver(std::string_view text);

}  // namespace qit
