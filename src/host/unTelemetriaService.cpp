#include "host/unTelemetriaService.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include <fmt/format.h>

#include "common/Text.h"

namespace qit {

namespace {

std::tm LocalTime(std::chrono::system_clock::time_point time) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
  std::tm local{};
  localtime_r(&seconds, &local);
  return local;
}

}  // namespace

std::string ServiceStatusText(std::size_t waiting_records,
                              const std::optional<TinserirIntegracao::PassOutcome>& last_pass,
                              std::chrono::system_clock::time_point now) {
  std::string text = fmt::format("Fila: {} {}; ", waiting_records, waiting_records == 1 ? "registro" : "registros");
  if (!last_pass) return text + "nenhuma passagem ainda";
  const std::tm ended = LocalTime(last_pass->ended);
  const std::tm today = LocalTime(now);
  text += last_pass->done ? "última passagem: ok " : "última passagem: falhou ";
  if (ended.tm_year != today.tm_year || ended.tm_yday != today.tm_yday)
    text += fmt::format("em {:02}/{:02}/{:02} ", ended.tm_mday, ended.tm_mon + 1, ended.tm_year % 100);
  text += fmt::format("às {:02}:{:02}:{:02}", ended.tm_hour, ended.tm_min, ended.tm_sec);
  // The message may quote what a request brought: it is put on one line and cut.
  if (!last_pass->error.empty()) text += " (" + RequestText(last_pass->error) + ")";
  return text;
}

TQueltoIntegradorTelemetria::TQueltoIntegradorTelemetria(IServicePlatform& platform, IServiceNotifier& notifier,
                                                         ProgramFolder folder, std::filesystem::path executable,
                                                         std::vector<std::string> arguments)
    : platform_(platform),
      notifier_(notifier),
      folder_(std::move(folder)),
      executable_(std::move(executable)),
      arguments_(std::move(arguments)),
      signals_(io_),
      status_timer_(io_),
      keep_alive_timer_(io_) {}

TQueltoIntegradorTelemetria::~TQueltoIntegradorTelemetria() = default;

void TQueltoIntegradorTelemetria::ServiceCreate() {
  if (dm_principal_) return;
  // Every company port and every connection holds a descriptor.
  platform_.RaiseOpenFileLimit();
  dm_principal_ = std::make_unique<TdmPrincipal>(folder_, io_);
  // Each step of a long start-up moves the manager's start timeout on, so that a large queue
  // to recover is not taken for a hung start.
  dm_principal_->SetStartProgress(
      [this](std::string_view status) { notifier_.Starting(status, kStartStepTimeout); });
  try {
    dm_principal_->DataModuleCreate();
  } catch (const std::exception& error) {
    dm_principal_->Log().RegistrarExcecao(&error, "DataModuleCreate");
    platform_.ShowMessage(error.what(), /*is_error=*/true);
    creation_error_ = error.what();
  }
}

int TQueltoIntegradorTelemetria::Run(const CommandLine& command_line) {
  if (command_line.install) return Install(command_line.silent);
  if (command_line.uninstall) return Uninstall(command_line.silent);
  return RunService();
}

std::chrono::seconds TQueltoIntegradorTelemetria::StopTime(const Settings& settings) {
  return kStopTime + std::chrono::seconds(settings.TempoEsvaziarFila_Segundos) + kStopMargin;
}

ServiceDefinition TQueltoIntegradorTelemetria::Definition() const {
  const Settings settings = dm_principal_ ? dm_principal_->Settings() : Settings{};
  return {kName, kDisplayName, executable_, arguments_, StopTime(settings)};
}

int TQueltoIntegradorTelemetria::Install(bool silent) {
  try {
    platform_.InstallService(Definition());
  } catch (const std::exception& error) {
    platform_.ShowMessage(fmt::format("Service \"{}\" failed to install with error: \"{}\"", kDisplayName, error.what()),
                          true);
    return 1;
  }
  if (!silent) platform_.ShowMessage("Service installed successfully", false);
  return 0;
}

int TQueltoIntegradorTelemetria::Uninstall(bool silent) {
  try {
    platform_.UninstallService(Definition());
  } catch (const std::exception& error) {
    platform_.ShowMessage(
        fmt::format("Service \"{}\" failed to uninstall with error: \"{}\"", kDisplayName, error.what()), true);
    return 1;
  }
  if (!silent) platform_.ShowMessage("Service uninstalled successfully", false);
  return 0;
}

std::string TQueltoIntegradorTelemetria::CurrentStatus() {
  if (!dm_principal_) return {};
  const TinserirIntegracao* worker = dm_principal_->InserirIntegracao();
  std::string text = ServiceStatusText(dm_principal_->ListaDeEnvio().WaitingRecords(),
                                       worker ? worker->LastPass() : std::nullopt, std::chrono::system_clock::now());
  // A pass that no longer moves is said, whatever the last pass's outcome was.
  if (std::string stalled = dm_principal_->StalledWorkers(); !stalled.empty()) text += "; " + stalled;
  return text;
}

void TQueltoIntegradorTelemetria::ReportStatusEvery(std::chrono::steady_clock::duration interval) {
  status_timer_.expires_after(interval);
  status_timer_.async_wait([this, interval](const boost::system::error_code& error) {
    if (error) return;
    ReportStatusEvery(interval);
    std::string status = CurrentStatus();
    if (status == last_status_) return;
    notifier_.Status(status);
    last_status_ = std::move(status);
  });
}

void TQueltoIntegradorTelemetria::KeepAliveEvery(std::chrono::steady_clock::duration interval) {
  keep_alive_timer_.expires_after(interval);
  keep_alive_timer_.async_wait([this, interval](const boost::system::error_code& error) {
    if (error) return;
    KeepAliveEvery(interval);
    notifier_.Alive();
  });
}

int TQueltoIntegradorTelemetria::RunService() {
  // A service that cannot take calls or write what it took does not run on: what the
  // creation opened is closed in order, READY=1 is never sent, and the failure status has
  // the service manager start the process again. Its state line keeps the reason.
  if (creation_error_) {
    notifier_.Status("Início interrompido (" + *creation_error_ + ")");
    dm_principal_->Stop(std::chrono::steady_clock::now() + kStopTime);
    return 1;
  }
  // A second SIGTERM or SIGINT, while the orderly stop below runs, ends the process at once.
  signals_.AsyncWait([this] {
    status_timer_.cancel();
    keep_alive_timer_.cancel();
    const Settings settings = dm_principal_ ? dm_principal_->Settings() : Settings{};
    notifier_.Stopping("Parando; " + CurrentStatus(), StopTime(settings));
    io_.stop();
  });
  // The data module's creation is over: the company ports are open.
  last_status_ = CurrentStatus();
  notifier_.Ready(last_status_);
  ReportStatusEvery(kStatusInterval);
  // The manager counts the process as hung after the watchdog's timeout; a keep-alive at
  // half of it leaves room for one late turn of the loop.
  if (const auto timeout = notifier_.WatchdogTimeout(); timeout.count() > 0) {
    notifier_.Alive();
    KeepAliveEvery(timeout / 2);
  }
  // An error that escapes a handler on the main thread becomes an event-log entry under the
  // executable's name, and the loop goes on.
  for (;;) {
    try {
      io_.run();
      break;
    } catch (const std::exception& error) {
      platform_.LogEvent(executable_.filename().string(), error.what());
    }
  }
  if (dm_principal_ && !dm_principal_->Stop(std::chrono::steady_clock::now() + kStopTime)) {
    // A worker was left behind in a statement that did not come back and still uses the data
    // module: the process ends here, without freeing it. The logs are closed.
    std::fflush(nullptr);
    std::_Exit(EXIT_FAILURE);
  }
  return 0;
}

}  // namespace qit
