#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "data/ConnectionDefinition.h"

namespace qit {

// What a connection file sets. A setting the file leaves alone stays empty; the
// definitions layout fills every setting, with its defaults for missing elements.
struct ConnectionFileSettings {
  std::optional<bool> pooling_enabled;
  std::optional<PoolBehaviour> pool_behaviour;
  std::optional<int> max_pool_size;
  std::optional<int> wait_interval_seconds;
  std::optional<int> pool_timeout_seconds;
  std::optional<PoolTransactionBehaviour> transaction_behaviour;
  std::optional<std::vector<ConnectionDefinition>> definitions;
};

// Reads the bytes of a connection file. Files that begin with "<TDAConnectionManager>" are
// in the property layout, all others in the definitions layout. Fails with "Stream read
// error" below 22 bytes and with "Cannot load XML document.\rReason: ...\rLine: ...\r
// Position: ..." when the XML is not well formed.
ConnectionFileSettings ParseConnectionFile(std::string_view bytes);

}  // namespace qit
