#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>

#include "host/CommandLine.h"
#include "host/ServicePlatform.h"
#include "host/StopSignals.h"
#include "host/unDMPrincipal.h"

namespace qit {

// The service object: it creates the data module when it is created, then installs,
// uninstalls, or runs the service in the foreground until SIGTERM or SIGINT.
class TQueltoIntegradorTelemetria {
 public:
  static constexpr const char* kName = "QueltoIntegradorTelemetria";
  static constexpr const char* kDisplayName = "Quelto - Integrador Telemetria";
  // How long the orderly stop after SIGTERM or SIGINT waits for open connections.
  static constexpr std::chrono::seconds kStopTime{30};

  // `executable` and `arguments` are what the service manager will start.
  TQueltoIntegradorTelemetria(IServicePlatform& platform, ProgramFolder folder,
                              std::filesystem::path executable, std::vector<std::string> arguments);
  ~TQueltoIntegradorTelemetria();

  // Creates `dmPrincipal` once and runs its creation handler. A creation error is reported
  // to the log and to standard error, and the program goes on.
  void ServiceCreate();

  // INSTALL first, then UNINSTALL, else the service runs. Returns the process exit code.
  int Run(const CommandLine& command_line);

  TdmPrincipal* dmPrincipal() const { return dm_principal_.get(); }

 private:
  int Install(bool silent);
  int Uninstall(bool silent);
  int RunService();
  ServiceDefinition Definition() const;

  IServicePlatform& platform_;
  ProgramFolder folder_;
  std::filesystem::path executable_;
  std::vector<std::string> arguments_;
  boost::asio::io_context io_;
  // Taken from the start, before any thread exists: a stop request during start-up waits
  // for the loop.
  StopSignals signals_;
  std::unique_ptr<TdmPrincipal> dm_principal_;
};

}  // namespace qit
