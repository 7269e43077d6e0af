#include "data/DataErrors.h"

#include <fmt/format.h>

namespace qit {

EDatabaseError CannotFindError(std::string_view kind, std::string_view name, std::string_view collection) {
  return EDatabaseError(fmt::format("Cannot find {} \"{}\" in collection of type {}", kind, name, collection));
}

}  // namespace qit
