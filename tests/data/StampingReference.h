#pragma once

#include <string>

namespace qit::testing {

// The compiled statement catalogue with its four stamping statements (AtualizaEstatisticos,
// AtualizaAlarmes and their _SemMotorista variants) writing every row of the session's span,
// as they did before they skipped rows that already hold the session's values, and the
// pass going through every open session (VehiclesToProcess and its variant select every
// vehicle with one): the reference that tests and benchmarks hold the program against.
std::string CatalogueStampingEveryRow();

}  // namespace qit::testing
