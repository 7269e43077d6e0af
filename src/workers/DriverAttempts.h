#pragma once

#include <chrono>
#include <exception>
#include <functional>

#include "data/DbConnection.h"
#include "workers/DriverCache.h"

namespace qit {

// The driver step of a telemetry record is tried up to this many times.
inline constexpr int kDriverAttempts = 3;

// Runs `attempt` (the driver's VerificaControle and VerificaControle_Tab_Vert) up to
// kDriverAttempts times on `connection`, each attempt under a savepoint of the record's
// transaction. A failed attempt is rolled back to its savepoint and the drivers it added to
// `cache` are forgotten, so it leaves neither rows nor cache records behind; then `report`
// receives the failure (nullptr for one that is not a std::exception) and its attempt number
// from 1, and the step waits `pause` before going on, also after the last attempt.
// Returns true when an attempt succeeded, false after the last failure. A failure that is not
// the data's (IsDataFailure: the database unreachable, a lock not given in time, ...) is
// raised at once, without further attempts. A savepoint that
// cannot be set, released or rolled back is raised: the transaction's state is then unknown
// and the caller must roll the record back.
bool RunDriverAttempts(DbConnection& connection, DriverCache& cache, const std::function<void()>& attempt,
                       const std::function<void(const std::exception* error, int attempt)>& report,
                       std::chrono::milliseconds pause = std::chrono::milliseconds(300));

}  // namespace qit
