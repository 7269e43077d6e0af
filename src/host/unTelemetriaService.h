#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include "host/CommandLine.h"
#include "host/ServicePlatform.h"
#include "host/StopSignals.h"
#include "host/SystemdNotifier.h"
#include "host/unDMPrincipal.h"

namespace qit {

// The service's state in one line, for the service manager: the records waiting in the send
// queue and how the insert worker's last pass ended, at what local time (with the date
// when not on the day of `now`), with the failure's message when it raised. For example
// "Fila: 12 registros; última passagem: ok às 10:22:33".
std::string ServiceStatusText(std::size_t waiting_records,
                              const std::optional<TinserirIntegracao::PassOutcome>& last_pass,
                              std::chrono::system_clock::time_point now);

// The service object: it creates the data module when it is created, then installs,
// uninstalls, or runs the service in the foreground until SIGTERM or SIGINT.
class TQueltoIntegradorTelemetria {
 public:
  static constexpr const char* kName = "QueltoIntegradorTelemetria";
  static constexpr const char* kDisplayName = "Quelto - Integrador Telemetria";
  // How long the orderly stop after SIGTERM or SIGINT waits for open connections.
  static constexpr std::chrono::seconds kStopTime{30};
  // What the stop may take beyond the connections and the queue's drain: the record being
  // written and the processing worker's session finished, connections and logs closed.
  static constexpr std::chrono::seconds kStopMargin{30};
  // How often the state line is brought up to date while the service runs.
  static constexpr std::chrono::seconds kStatusInterval{5};
  // How long the service manager waits for the next step of a long start-up.
  static constexpr std::chrono::seconds kStartStepTimeout{90};

  // `executable` and `arguments` are what the service manager will start; `notifier` hears
  // the service's readiness, state, stop and keep-alives.
  TQueltoIntegradorTelemetria(IServicePlatform& platform, IServiceNotifier& notifier, ProgramFolder folder,
                              std::filesystem::path executable, std::vector<std::string> arguments);
  ~TQueltoIntegradorTelemetria();

  // Creates `dmPrincipal` once and runs its creation handler. A creation error is reported
  // to the log and to standard error, and the program goes on to Run.
  void ServiceCreate();

  // INSTALL first, then UNINSTALL, else the service runs. Returns the process exit code.
  // INSTALL and UNINSTALL take place after a failed creation too (the service running on the
  // same ports and queue makes it fail); the service does not run after one: Run stops the
  // data module and returns 1.
  int Run(const CommandLine& command_line);

  TdmPrincipal* dmPrincipal() const { return dm_principal_.get(); }

  // The longest an orderly stop takes with these settings: the calls being handled, the
  // queue's drain ([Servidor] TempoEsvaziarFila_Segundos) and kStopMargin.
  static std::chrono::seconds StopTime(const Settings& settings);

 private:
  int Install(bool silent);
  int Uninstall(bool silent);
  int RunService();
  ServiceDefinition Definition() const;
  std::string CurrentStatus();
  void ReportStatusEvery(std::chrono::steady_clock::duration interval);
  void KeepAliveEvery(std::chrono::steady_clock::duration interval);

  IServicePlatform& platform_;
  IServiceNotifier& notifier_;
  ProgramFolder folder_;
  std::filesystem::path executable_;
  std::vector<std::string> arguments_;
  boost::asio::io_context io_;
  // Taken from the start, before any thread exists: a stop request during start-up waits
  // for the loop.
  StopSignals signals_;
  // Both run on the main loop, so a loop that hangs stops the keep-alives.
  boost::asio::steady_timer status_timer_;
  boost::asio::steady_timer keep_alive_timer_;
  std::optional<std::string> creation_error_;  // the creation handler's error, when it raised one
  std::string last_status_;  // the state line last sent
  std::unique_ptr<TdmPrincipal> dm_principal_;
};

}  // namespace qit
