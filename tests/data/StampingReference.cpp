#include "StampingReference.h"

#include <iterator>
#include <regex>
#include <stdexcept>
#include <string>

#include "common/Resources.h"

namespace qit::testing {

namespace {

// Replaces every match of `pattern` in `text` and checks that there were `expected` of them.
std::string ReplaceExactly(const std::string& text, const std::regex& pattern, const char* replacement,
                           std::ptrdiff_t expected, const char* what) {
  const auto found = std::distance(std::sregex_iterator(text.begin(), text.end(), pattern), std::sregex_iterator());
  if (found != expected)
    throw std::logic_error("expected " + std::to_string(expected) + " " + what + " in the catalogue, found " +
                           std::to_string(found));
  return std::regex_replace(text, pattern, replacement);
}

}  // namespace

std::string CatalogueStampingEveryRow() {
  std::string catalogue(FindResource("CATALOGUE"));
  // Each stamping statement's WHERE ends with "AND (<column> IS DISTINCT FROM :<param> OR
  // ...)"; no other statement compares with a parameter that way.
  static const std::regex condition(R"(AND\s*\([^()]*IS DISTINCT FROM :[^()]*\))");
  catalogue = ReplaceExactly(catalogue, condition, "", 4, "stamping conditions");
  // The vehicles a pass goes through: every vehicle with an open session.
  static const std::regex vehicles(R"((Name="VehiclesToProcess[^"]*"[\s\S]*?TELEMETRIA_INTEGRACAO TI)\s*WHERE[\s\S]*?\]\]>)");
  return ReplaceExactly(catalogue, vehicles, "$1\n]]>", 2, "vehicle selections");
}

}  // namespace qit::testing
