#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "host/CommandLine.h"
#include "host/ServicePlatform.h"
#include "host/SystemdNotifier.h"
#include "host/unTelemetriaService.h"

namespace fs = std::filesystem;

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  const qit::CommandLine command_line = qit::ParseCommandLine(args);
  if (command_line.help || !command_line.error.empty()) {
    if (!command_line.error.empty()) std::cerr << command_line.error << "\n";
    (command_line.help ? std::cout : std::cerr) << qit::kUsage;
    return command_line.help ? 0 : 2;
  }

  std::error_code error;
  fs::path executable = fs::read_symlink("/proc/self/exe", error);
  if (error) executable = fs::absolute(argv[0]);

  qit::ProgramFolder folder{executable.parent_path(), executable.filename().string()};
  std::vector<std::string> service_arguments;
  if (command_line.home) {
    folder.folder = fs::absolute(*command_line.home);
    service_arguments = {"--home", folder.folder.string()};
  }

  qit::LinuxServicePlatform platform(command_line.unit_dir.value_or(qit::LinuxServicePlatform::DefaultUnitDir()));
  qit::SystemdNotifier notifier;
  qit::TQueltoIntegradorTelemetria service(platform, notifier, folder, executable, service_arguments);
  // The data module is created in every mode, before the switches are looked at.
  service.ServiceCreate();
  return service.Run(command_line);
}
