#include "host/SystemdNotifier.h"

#include <systemd/sd-daemon.h>

#include <cstdint>

#include "common/Text.h"

namespace qit {

namespace {

// Longest status text sent; the manager shows it on one line.
constexpr std::size_t kStatusLimit = 512;

// Without a notification socket sd_notify returns 0 and sends nothing; a failure to send
// has nobody to be reported to and changes nothing in the service, so its result is not
// looked at.
void Notify(const std::string& message) { (void)sd_notify(0, message.c_str()); }

}  // namespace

SystemdNotifier::SystemdNotifier() {
  std::uint64_t usec = 0;
  if (sd_watchdog_enabled(0, &usec) > 0) watchdog_timeout_ = std::chrono::microseconds(usec);
}

std::string SystemdNotifier::StatusAssignment(std::string_view status) {
  const std::string text = OneLine(status);
  const std::string_view kept = CharactersWithin(text, kStatusLimit);
  return "STATUS=" + std::string(kept) + (kept.size() < text.size() ? "\u2026" : "");
}

std::string SystemdNotifier::ExtendTimeout(std::chrono::seconds more) {
  return "EXTEND_TIMEOUT_USEC=" + std::to_string(std::chrono::microseconds(more).count());
}

void SystemdNotifier::Starting(std::string_view status, std::chrono::seconds more) {
  Notify(StatusAssignment(status) + "\n" + ExtendTimeout(more));
}

void SystemdNotifier::Ready(std::string_view status) { Notify("READY=1\n" + StatusAssignment(status)); }

void SystemdNotifier::Status(std::string_view status) { Notify(StatusAssignment(status)); }

void SystemdNotifier::Stopping(std::string_view status, std::chrono::seconds stop_time) {
  // The manager counts its stop time from this message; the extension lets a configuration
  // changed after the unit was written have the stop time it needs.
  Notify("STOPPING=1\n" + StatusAssignment(status) + "\n" + ExtendTimeout(stop_time));
}

void SystemdNotifier::Alive() { Notify("WATCHDOG=1"); }

}  // namespace qit
