#pragma once

#include <chrono>
#include <stop_token>

namespace qit {

// How long a worker sleeps when nobody wakes it: TempoAguardar_Minutos minutes in
// milliseconds, held within 0 .. 2 147 483 647 (a negative setting waits 0, a larger one
// the largest 32-bit count).
std::chrono::milliseconds WaitTimeout(int minutes);

// Sleeps until `deadline`, or less when `stop` is requested meanwhile (at once when it was
// already): a worker's pause that a stop never waits for.
void SleepUntil(const std::stop_token& stop, std::chrono::steady_clock::time_point deadline);

}  // namespace qit
