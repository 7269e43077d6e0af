#include "host/CompanyListeners.h"

#include <fmt/format.h>

#include "common/Errors.h"
#include "host/IniFile.h"

namespace qit {

void CompanyListeners::Open(const IniFile& ini, int count, const HttpServerLimits& limits,
                            const std::function<void(int port, int company_code)>& opening) {
  // The list has count + 1 positions; -1 gives an empty list, less is a range error.
  if (count < -1) throw Exception("Range check error", "ERangeError");
  servers_.resize(static_cast<std::size_t>(count + 1));
  const std::vector<CompanyPort> ports = ReadCompanyPorts(ini, count);
  for (int n = 1; n <= count; ++n) {
    const CompanyPort& port = ports[static_cast<std::size_t>(n - 1)];
    auto& server = servers_[static_cast<std::size_t>(n)];
    server = std::make_unique<TROHTTPServer>(pool_, dispatchers_);
    server->SetName(fmt::format("Server{}", n));
    server->SetPort(port.port);
    server->SetTag(port.company_code);
    server->SetLimits(limits);
    if (opening) opening(server->Port(), server->Tag());
    // From here on calls can arrive on this port while the loop goes on.
    server->SetActive(true);
  }
}

std::uint64_t CompanyListeners::OpenConnections() const {
  std::uint64_t open = 0;
  for (const auto& server : servers_)
    if (server) open += server->OpenConnections();
  return open;
}

std::string CompanyListeners::ClosedPorts() const {
  bool any_open = false;
  std::string closed;
  for (std::size_t n = 1; n < servers_.size(); ++n) {
    const TROHTTPServer* server = servers_[n].get();
    if (server != nullptr && server->Active()) {
      any_open = true;
    } else if (closed.empty()) {
      closed = server != nullptr ? fmt::format("{} (porta {}) não aberta", server->Name(), server->Port())
                                 : fmt::format("Server{} não aberta", n);
    }
  }
  return any_open ? closed : "nenhuma porta aberta";
}

void CompanyListeners::Close(std::chrono::steady_clock::time_point deadline, TVoradaLogger& log) {
  for (const auto& server : servers_) {
    if (server && !server->Deactivate(deadline))
      log.Registrar("", false,
                    fmt::format("{}: conexões ainda abertas no prazo da parada; encerradas com as threads de "
                                "atendimento",
                                server->Name()),
                    stError);
  }
}

}  // namespace qit
