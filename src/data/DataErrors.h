#pragma once

#include <string>
#include <string_view>

#include "common/Errors.h"

namespace qit {

// A failure of the data-access layer itself: pool limits, unknown definitions, statements,
// parameters or fields, and connection files that cannot be read.
class EDatabaseError : public Exception {
 public:
  explicit EDatabaseError(std::string message) : Exception(std::move(message), "EDatabaseError") {}
};

// "Cannot find <kind> "<name>" in collection of type <collection>": the one message for every
// lookup by name that finds nothing (connection definitions, datasets, commands, parameters,
// fields).
EDatabaseError CannotFindError(std::string_view kind, std::string_view name, std::string_view collection);

// Names of the collections that lookups report.
inline constexpr std::string_view kConnectionDefinitions = "ConnectionDefinitions";
inline constexpr std::string_view kDatasets = "Datasets";
inline constexpr std::string_view kCommands = "Commands";
inline constexpr std::string_view kParams = "Params";
inline constexpr std::string_view kFields = "Fields";

}  // namespace qit
