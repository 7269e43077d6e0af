#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace qit {

// The service as the operating system's service manager registers it.
struct ServiceDefinition {
  std::string name;                    // "QueltoIntegradorTelemetria"
  std::string display_name;            // "Quelto - Integrador Telemetria"
  std::filesystem::path executable;    // full path of the program
  std::vector<std::string> arguments;  // arguments the service manager starts it with
  // How long the service manager lets an orderly stop run before it kills the process.
  std::chrono::seconds stop_timeout{90};
};

// Every call the host makes to the platform it runs on. The rest of the program never
// talks to the platform's service manager, event log or message boxes.
class IServicePlatform {
 public:
  virtual ~IServicePlatform() = default;
  // Registers the service with automatic start. Raises qit::Exception with the system's
  // message text on failure.
  virtual void InstallService(const ServiceDefinition& service) = 0;
  // Removes the service. Raises qit::Exception with the system's message text on failure.
  virtual void UninstallService(const ServiceDefinition& service) = 0;
  // A message that a desktop program would show in a message box.
  virtual void ShowMessage(const std::string& text, bool is_error) = 0;
  // An error entry of the system's event log, under the given event source.
  virtual void LogEvent(const std::string& source, const std::string& text) = 0;
  // Lets this process hold as many open files and sockets as the system grants it; where
  // that cannot be changed the limit stays as it is.
  virtual void RaiseOpenFileLimit() = 0;
};

// Linux: systemd units, syslog, standard output and standard error. The unit starts the
// service as Type=notify: it counts as started once the service says it is ready (see
// SystemdNotifier).
class LinuxServicePlatform final : public IServicePlatform {
 public:
  explicit LinuxServicePlatform(std::filesystem::path unit_dir);

  void InstallService(const ServiceDefinition& service) override;
  void UninstallService(const ServiceDefinition& service) override;
  void ShowMessage(const std::string& text, bool is_error) override;
  void LogEvent(const std::string& source, const std::string& text) override;
  // The soft limit of open files (1024 by default, for programs that still use select())
  // goes up to the hard one.
  void RaiseOpenFileLimit() override;

  // $QIT_SYSTEMD_UNIT_DIR when set, else /etc/systemd/system.
  static std::filesystem::path DefaultUnitDir();

  // The text of the unit InstallService writes.
  static std::string UnitText(const ServiceDefinition& service);

 private:
  std::filesystem::path UnitFile(const ServiceDefinition& service) const;
  std::filesystem::path WantsLink(const ServiceDefinition& service) const;

  std::filesystem::path unit_dir_;
};

}  // namespace qit
