#pragma once

#include <exception>
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

// A value that a statement's parameter cannot hold (a text longer than any parameter takes).
// Shown as EDatabaseError; unlike the others, the fault of the data and not of the program or
// the database.
class EParameterValueError : public EDatabaseError {
 public:
  using EDatabaseError::EDatabaseError;
};

// Whether a failure is the fault of the data a statement was given, so that giving the same
// data again fails the same way: a value that does not convert or fit, a constraint
// violation, an exception raised by a trigger or a procedure (EFirebirdError::DataFault). Any
// other failure (the database unreachable, input/output, locks, resources, a missing
// statement) is the database's or the program's, and the same data may well go through later.
bool IsDataFailure(const std::exception& error);

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
