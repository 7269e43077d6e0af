#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace qit {

// What the running service tells the service manager that started it: that it is ready,
// how it is doing, that it is stopping, and that its main loop is alive. Every call is
// silent when no service manager listens.
class IServiceNotifier {
 public:
  virtual ~IServiceNotifier() = default;
  // The start-up goes on (a long recovery, say): the manager should wait `more` from now
  // before it gives up on it.
  virtual void Starting(std::string_view status, std::chrono::seconds more) = 0;
  // The start-up is over: the company ports are open and the data module is created.
  virtual void Ready(std::string_view status) = 0;
  // A one-line text the manager shows as the service's state.
  virtual void Status(std::string_view status) = 0;
  // The orderly stop began; it may take up to `stop_time` from now, and the manager should
  // wait that long before it gives up on the process.
  virtual void Stopping(std::string_view status, std::chrono::seconds stop_time) = 0;
  // How long the manager waits for a keep-alive before it counts the process as hung; zero
  // when it expects none.
  virtual std::chrono::microseconds WatchdogTimeout() const = 0;
  // The keep-alive.
  virtual void Alive() = 0;
};

// systemd's notification socket ($NOTIFY_SOCKET) through libsystemd; its watchdog is on
// when $WATCHDOG_USEC is set for this process.
class SystemdNotifier final : public IServiceNotifier {
 public:
  // Reads the watchdog's timeout from the environment once.
  SystemdNotifier();

  void Starting(std::string_view status, std::chrono::seconds more) override;
  void Ready(std::string_view status) override;
  void Status(std::string_view status) override;
  void Stopping(std::string_view status, std::chrono::seconds stop_time) override;
  std::chrono::microseconds WatchdogTimeout() const override { return watchdog_timeout_; }
  void Alive() override;

  // "STATUS=" and the text on one line: a line feed in the text would otherwise start an
  // assignment of its own (READY=1, MAINPID=...) in the message.
  static std::string StatusAssignment(std::string_view status);

 private:
  // The manager's timeout for the start or the stop, moved to `more` from now.
  static std::string ExtendTimeout(std::chrono::seconds more);

  std::chrono::microseconds watchdog_timeout_{0};
};

}  // namespace qit
