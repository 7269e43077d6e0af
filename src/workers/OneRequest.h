#pragma once

#include <functional>

#include "data/DbConnection.h"
#include "logging/VoradaLogger.h"

namespace qit {

// Runs `work` (a record's or a session's statements) with its writes held back in a write
// batch on `connection` and the lines it writes to `log` held back, then sends the writes as
// one request. true when they went through; its lines are then written. false when it failed
// for its data (IsDataFailure): nothing of it stays (the batch is undone, its lines are
// dropped, `forget` undoes what it taught the caller's caches), and the caller does the work
// again statement by statement, which gives the failure its own step. Any other failure is
// raised, with its lines written to tell how far it got.
bool InOneRequest(DbConnection& connection, TVoradaLogger& log, const std::function<void()>& work,
                  const std::function<void()>& forget);

}  // namespace qit
