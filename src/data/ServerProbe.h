#pragma once

#include <chrono>
#include <string_view>

namespace qit {

// Makes sure a database server answers before the client library attaches to it. The
// library's own connect timeout bounds only the wait for the server's replies; its TCP
// connect waits as long as the system retries (about two minutes on Linux) when the host
// is down or a firewall drops the packets. This probe opens (and closes) one TCP connection
// to `server` ("host", "host/port", "host/service", "[IPv6 address]/port"; port 3050 when
// none is given) and fails with EFirebirdError (a lost connection) when no connection is made
// within `timeout`.
// Any other outcome (refused, unknown host, a form it does not read) is left for the
// attach to report in the client library's words.
void ProbeServer(std::string_view server, std::chrono::seconds timeout);

}  // namespace qit
