#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "logging/VoradaLogger.h"
#include "transport/HttpIoPool.h"
#include "transport/TROHTTPServer.h"

namespace qit {

class IniFile;

// The listeners of the company ports: [Portas] Quantidade of them, listener N on Porta_N,
// named "ServerN" and tagged with CodigoEmpresa_N, all on one pool of serving threads with
// one table of message dispatchers.
class CompanyListeners {
 public:
  CompanyListeners(HttpIoPool& pool, std::shared_ptr<const TROHTTPMessageDispatchers> dispatchers)
      : pool_(pool), dispatchers_(std::move(dispatchers)) {}

  // Builds the `count` listeners and opens them in order; `opening` is told each one's port
  // and company code just before it opens, when calls can start to arrive on it. A count
  // below -1 raises ERangeError "Range check error"; a port that cannot be opened raises,
  // and the listeners before it stay open (the list keeps the unopened one, and no later).
  void Open(const IniFile& ini, int count, const HttpServerLimits& limits,
            const std::function<void(int port, int company_code)>& opening);

  // Position 0 is always empty (the main listener's place); then the listeners 1..count, a
  // listener that was never built empty too.
  const std::vector<std::unique_ptr<TROHTTPServer>>& Servers() const { return servers_; }

  // Connections open over every listener.
  std::uint64_t OpenConnections() const;
  // Why not every company port is open, for the health answer: "nenhuma porta aberta", or
  // the first one that is not ("Server2 (porta 10167) não aberta"); empty when all are.
  std::string ClosedPorts() const;

  // Each listener stops accepting, lets its idle connections go and waits until `deadline`
  // for the calls being handled; a listener that still has connections open then is named
  // in `log`.
  void Close(std::chrono::steady_clock::time_point deadline, TVoradaLogger& log);

 private:
  HttpIoPool& pool_;
  std::shared_ptr<const TROHTTPMessageDispatchers> dispatchers_;
  std::vector<std::unique_ptr<TROHTTPServer>> servers_;
};

}  // namespace qit
