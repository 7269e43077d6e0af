#pragma once

#include <chrono>

namespace qit {

// How long a worker sleeps when nobody wakes it: TempoAguardar_Minutos minutes in
// milliseconds, held within 0 .. 2 147 483 647 (a negative setting waits 0, a larger one
// the largest 32-bit count).
std::chrono::milliseconds WaitTimeout(int minutes);

}  // namespace qit
