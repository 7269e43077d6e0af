#include "host/unTelemetriaService.h"

#include <csignal>

#include <fmt/format.h>

namespace qit {

TQueltoIntegradorTelemetria::TQueltoIntegradorTelemetria(IServicePlatform& platform, ProgramFolder folder,
                                                         std::filesystem::path executable,
                                                         std::vector<std::string> arguments)
    : platform_(platform),
      folder_(std::move(folder)),
      executable_(std::move(executable)),
      arguments_(std::move(arguments)),
      signals_(io_) {}

TQueltoIntegradorTelemetria::~TQueltoIntegradorTelemetria() = default;

void TQueltoIntegradorTelemetria::ServiceCreate() {
  if (dm_principal_) return;
  dm_principal_ = std::make_unique<TdmPrincipal>(folder_, io_);
  try {
    dm_principal_->DataModuleCreate();
  } catch (const std::exception& error) {
    dm_principal_->Log().RegistrarExcecao(&error, "DataModuleCreate");
    platform_.ShowMessage(error.what(), /*is_error=*/true);
  }
}

int TQueltoIntegradorTelemetria::Run(const CommandLine& command_line) {
  if (command_line.install) return Install(command_line.silent);
  if (command_line.uninstall) return Uninstall(command_line.silent);
  return RunService();
}

ServiceDefinition TQueltoIntegradorTelemetria::Definition() const {
  return {kName, kDisplayName, executable_, arguments_};
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

int TQueltoIntegradorTelemetria::RunService() {
  // A second SIGTERM or SIGINT, while the orderly stop below runs, ends the process at once.
  signals_.AsyncWait([this] { io_.stop(); });
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
  if (dm_principal_) dm_principal_->Stop(std::chrono::steady_clock::now() + kStopTime);
  return 0;
}

}  // namespace qit
