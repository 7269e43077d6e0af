#include "data/DataErrors.h"

#include <fmt/format.h>

#include "data/FbClient.h"

namespace qit {

EDatabaseError CannotFindError(std::string_view kind, std::string_view name, std::string_view collection) {
  return EDatabaseError(fmt::format("Cannot find {} \"{}\" in collection of type {}", kind, name, collection));
}

bool IsDataFailure(const std::exception& error) {
  if (const auto* database = dynamic_cast<const EFirebirdError*>(&error)) return database->DataFault();
  return dynamic_cast<const EParameterValueError*>(&error) != nullptr ||
         dynamic_cast<const EConvertError*>(&error) != nullptr;
}

}  // namespace qit
