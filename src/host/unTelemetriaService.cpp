#include "host/unTelemetriaService.h"

#include <csignal>

#include <fmt/format.h>

namespace qit {

TQueltoIntegradorTelemetria::TQueltoIntegradorTelemetria(IServicePlatform& platform, PastaPrograma pasta,
                                                         std::filesystem::path executable,
                                                         std::vector<std::string> arguments)
    : platform_(platform),
      pasta_(std::move(pasta)),
      executable_(std::move(executable)),
      arguments_(std::move(arguments)),
      signals_(io_, SIGINT, SIGTERM) {}

// The data module goes first: it stops its listeners and workers before its loggers go.
TQueltoIntegradorTelemetria::~TQueltoIntegradorTelemetria() { dm_principal_.reset(); }

void TQueltoIntegradorTelemetria::ServiceCreate() {
  if (dm_principal_) return;
  dm_principal_ = std::make_unique<TdmPrincipal>(pasta_);
  try {
    dm_principal_->DataModuleCreate();
  } catch (const std::exception& error) {
    dm_principal_->Log.RegistrarExcecao(&error, "DataModuleCreate");
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
  signals_.async_wait([this](const boost::system::error_code& error, int) {
    if (!error) io_.stop();
  });
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
  return 0;
}

}  // namespace qit
