#include "logging/LogFile.h"

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

namespace qit {

LogFile::~LogFile() { Close(); }

bool LogFile::Open(const std::filesystem::path& path) {
  Close();
  do {
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  } while (fd_ < 0 && errno == EINTR);
  return fd_ >= 0;
}

void LogFile::Close() {
  if (fd_ < 0) return;
  // The descriptor is gone after close even when it reports an error; nothing to retry.
  ::close(fd_);
  fd_ = -1;
}

bool LogFile::Write(std::string_view bytes) const {
  if (fd_ < 0) return false;
  ssize_t written;
  do {
    written = ::write(fd_, bytes.data(), bytes.size());
  } while (written < 0 && errno == EINTR);
  return written == static_cast<ssize_t>(bytes.size());
}

}  // namespace qit
