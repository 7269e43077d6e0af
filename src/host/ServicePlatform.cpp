#include "host/ServicePlatform.h"

#include <sys/resource.h>
#include <syslog.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iostream>

#include "common/Errors.h"

namespace qit {

namespace fs = std::filesystem;

namespace {

constexpr const char* kSystemUnitDir = "/etc/systemd/system";

// systemd splits ExecStart= at blanks; an argument that holds one is quoted.
std::string UnitArgument(const std::string& arg) {
  if (arg.find_first_of(" \t\"\\") == std::string::npos) return arg;
  std::string quoted = "\"";
  for (char c : arg) {
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"";
}

[[noreturn]] void RaiseSystemError(const std::error_code& error) {
  throw Exception(error.message() + ".", "EOSError");
}

// After a change in the real unit folder, the running systemd rereads its units.
void ReloadSystemd(const fs::path& unit_dir) {
  std::error_code ignored;
  if (unit_dir == kSystemUnitDir && fs::exists("/run/systemd/system", ignored))
    (void)std::system("systemctl daemon-reload >/dev/null 2>&1");
}

}  // namespace

LinuxServicePlatform::LinuxServicePlatform(fs::path unit_dir) : unit_dir_(std::move(unit_dir)) {}

fs::path LinuxServicePlatform::DefaultUnitDir() {
  const char* configured = std::getenv("QIT_SYSTEMD_UNIT_DIR");
  return (configured && *configured) ? fs::path(configured) : fs::path(kSystemUnitDir);
}

std::string LinuxServicePlatform::UnitText(const ServiceDefinition& service) {
  std::string exec = UnitArgument(service.executable.string());
  for (const auto& arg : service.arguments) exec += " " + UnitArgument(arg);
  // Type=notify: the unit is active once the service says READY=1, after its ports are open;
  // it keeps its state line up to date and says STOPPING=1 when a stop begins. systemd sends
  // WatchdogSec=, when an operator adds it, to the service, which then sends keep-alives from
  // its main loop.
  const long long stop_seconds = std::max<long long>(service.stop_timeout.count(), 1);
  return "[Unit]\n"
         "Description=" + service.display_name + "\n"
         "After=network-online.target\n"
         "Wants=network-online.target\n"
         "\n"
         "[Service]\n"
         "Type=notify\n"
         "ExecStart=" + exec + "\n"
         "KillSignal=SIGTERM\n"
         "TimeoutStopSec=" + std::to_string(stop_seconds) + "\n"
         // A descriptor per company port and per connection; systemd's default soft limit
         // of 1024 would cap them.
         "LimitNOFILE=65536\n"
         "Restart=on-failure\n"
         "RestartSec=5\n"
         "\n"
         "[Install]\n"
         "WantedBy=multi-user.target\n";
}

fs::path LinuxServicePlatform::UnitFile(const ServiceDefinition& service) const {
  return unit_dir_ / (service.name + ".service");
}

fs::path LinuxServicePlatform::WantsLink(const ServiceDefinition& service) const {
  return unit_dir_ / "multi-user.target.wants" / (service.name + ".service");
}

void LinuxServicePlatform::InstallService(const ServiceDefinition& service) {
  std::error_code error;
  if (!fs::is_directory(unit_dir_, error))
    RaiseSystemError(std::make_error_code(std::errc::no_such_file_or_directory));
  const fs::path unit = UnitFile(service);
  if (fs::exists(fs::symlink_status(unit, error)))
    throw Exception("The specified service already exists.", "EOSError");

  {
    std::ofstream out(unit, std::ios::binary);
    out << UnitText(service);
    out.close();
    if (!out) RaiseSystemError(std::error_code(errno ? errno : EIO, std::generic_category()));
  }
  // Enabling a unit is a link from the target's wants folder, as systemctl enable makes it.
  const fs::path link = WantsLink(service);
  fs::create_directories(link.parent_path(), error);
  if (!error) fs::create_symlink(unit, link, error);
  if (error) {
    fs::remove(unit);
    RaiseSystemError(error);
  }
  ReloadSystemd(unit_dir_);
}

void LinuxServicePlatform::UninstallService(const ServiceDefinition& service) {
  std::error_code error;
  const fs::path unit = UnitFile(service);
  if (!fs::exists(fs::symlink_status(unit, error)))
    throw Exception("The specified service does not exist as an installed service.", "EOSError");
  fs::remove(WantsLink(service), error);
  if (!fs::remove(unit, error) || error) RaiseSystemError(error);
  ReloadSystemd(unit_dir_);
}

void LinuxServicePlatform::ShowMessage(const std::string& text, bool is_error) {
  (is_error ? std::cerr : std::cout) << text << std::endl;
}

void LinuxServicePlatform::RaiseOpenFileLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
  // An unlimited hard limit is refused (the kernel caps descriptors at fs.nr_open): the soft
  // limit stays, and a start-up that runs out of descriptors says so in its error.
  (void)::setrlimit(RLIMIT_NOFILE, &limit);
}

void LinuxServicePlatform::LogEvent(const std::string& source, const std::string& text) {
  openlog(source.c_str(), LOG_PID, LOG_DAEMON);
  syslog(LOG_ERR, "%s", text.c_str());
  closelog();
}

}  // namespace qit
