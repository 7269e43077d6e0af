#pragma once

#include <ostream>
#include <vector>

namespace qit::bench {

// The check of the delay proxy as an instrument: the round trip of a small message to an
// echo server on loopback, directly, through the proxy adding nothing and through it adding
// each delay (in milliseconds), printed as a table. Each added delay should show in the
// round trip about whole, on top of the proxy's own cost.
void RunPingPongCheck(std::ostream& out, const std::vector<double>& delays_ms);

}  // namespace qit::bench
