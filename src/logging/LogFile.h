#pragma once

#include <filesystem>
#include <string_view>

namespace qit {

// One log file held open for appending. Every line goes out in a single write call on a
// descriptor opened with O_APPEND, so lines of other processes or readers of the same file
// never split ours. Failures are reported by the return value only: a log never stops the
// program.
class LogFile {
 public:
  LogFile() = default;
  ~LogFile();
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

  // Opens the file at its end, creating it empty when missing. Closes any file open before.
  bool Open(const std::filesystem::path& path);
  void Close();
  bool IsOpen() const { return fd_ >= 0; }

  // Appends the bytes as they are. False when the file is not open or the write failed.
  bool Write(std::string_view bytes) const;

 private:
  int fd_ = -1;
};

}  // namespace qit
