#include "host/StopSignals.h"

#include <pthread.h>
#include <signal.h>

#include <system_error>

#include <boost/asio/buffer.hpp>

namespace qit {

namespace {

sigset_t StopSignalSet() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  return set;
}

int BlockAndOpen() {
  const sigset_t set = StopSignalSet();
  if (const int error = pthread_sigmask(SIG_BLOCK, &set, nullptr); error != 0)
    throw std::system_error(error, std::generic_category(), "pthread_sigmask");
  const int fd = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), "signalfd");
  return fd;
}

}  // namespace

StopSignals::StopSignals(boost::asio::io_context& loop) : descriptor_(loop, BlockAndOpen()) {}

StopSignals::~StopSignals() = default;

void StopSignals::AsyncWait(std::function<void()> on_stop) {
  descriptor_.async_read_some(
      boost::asio::buffer(&info_, sizeof info_),
      [this, on_stop = std::move(on_stop)](const boost::system::error_code& error, std::size_t) {
        if (error) return;
        // Whatever handler a library installed meanwhile, the default action comes back, and
        // this thread takes the next signal: it ends the process.
        struct sigaction default_action {};
        default_action.sa_handler = SIG_DFL;
        sigaction(SIGTERM, &default_action, nullptr);
        sigaction(SIGINT, &default_action, nullptr);
        const sigset_t set = StopSignalSet();
        pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
        on_stop();
      });
}

}  // namespace qit
