#include "StampingReference.h"

#include <iterator>
#include <regex>
#include <stdexcept>
#include <string>

#include "common/Resources.h"

namespace qit::testing {

std::string CatalogueStampingEveryRow() {
  const std::string catalogue(FindResource("CATALOGUE"));
  // The condition is the last of each stamping statement's WHERE: "AND (<column> IS DISTINCT
  // FROM :<param> OR ...)". No other statement compares that way.
  static const std::regex condition(R"(AND\s*\([^()]*IS DISTINCT FROM[^()]*\))");
  const auto found = std::distance(std::sregex_iterator(catalogue.begin(), catalogue.end(), condition),
                                   std::sregex_iterator());
  if (found != 4) throw std::logic_error("expected 4 stamping conditions in the catalogue, found " + std::to_string(found));
  return std::regex_replace(catalogue, condition, "");
}

}  // namespace qit::testing
