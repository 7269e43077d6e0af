#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace qit {

// What the program was asked to do on its command line.
struct CommandLine {
  bool install = false;    // INSTALL
  bool uninstall = false;  // UNINSTALL
  bool silent = false;     // SILENT: no message on success
  bool help = false;       // --help
  // --home DIR: the folder that stands in for the executable's folder.
  std::optional<std::filesystem::path> home;
  // --unit-dir DIR: where INSTALL / UNINSTALL put the systemd unit.
  std::optional<std::filesystem::path> unit_dir;
  std::string error;  // a malformed option (for example --home without a folder)
};

// Switches are recognised with a leading "/" or "-" and in any letter case
// ("/install", "-INSTALL"); other arguments are ignored.
CommandLine ParseCommandLine(const std::vector<std::string>& args);

inline constexpr const char* kUsage =
    "Usage: QueltoIntegradorTelemetria [--home DIR] [--unit-dir DIR] [/INSTALL | /UNINSTALL] [/SILENT]\n"
    "  without switches   run the service in the foreground until SIGTERM or SIGINT\n"
    "  /INSTALL           write and enable the systemd unit QueltoIntegradorTelemetria.service\n"
    "  /UNINSTALL         disable and remove that unit\n"
    "  /SILENT            no message when install or uninstall succeeds\n"
    "  --home DIR         folder of the configuration, connection file and logs\n"
    "                     (default: the executable's folder)\n"
    "  --unit-dir DIR     folder of the systemd unit (default: $QIT_SYSTEMD_UNIT_DIR,\n"
    "                     else /etc/systemd/system)\n";

}  // namespace qit
