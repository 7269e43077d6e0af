#pragma once

namespace qit {

// The program's version, as the log header and the information page show it.
inline constexpr const char* kVersion = "3.3.0.0";
inline constexpr const char* kProductName = "QueltoIntegradorTelemetria";

}  // namespace qit
