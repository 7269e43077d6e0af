#pragma once

#include <string>

namespace qit::testing {

// The compiled statement catalogue with its four stamping statements (AtualizaEstatisticos,
// AtualizaAlarmes and their _SemMotorista variants) writing every row of the session's span,
// as they did before they skipped rows that already hold the session's values: the
// reference that tests and benchmarks hold the program's statements against.
std::string CatalogueStampingEveryRow();

}  // namespace qit::testing
