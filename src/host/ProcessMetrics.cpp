#include "host/ProcessMetrics.h"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <system_error>

#include "common/ServiceMetrics.h"

namespace qit {

namespace {

// The whole text of a /proc file (they tell no size: read to the end); nullopt when it
// cannot be opened.
std::optional<std::string> ReadProcFile(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A whole text of decimal digits that fits in 64 bits.
std::optional<std::uint64_t> ParseCount(std::string_view text) {
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// The time the system booted, in unix seconds ("btime" of /proc/stat).
std::optional<double> BootTime() {
  const std::optional<std::string> stat = ReadProcFile("/proc/stat");
  if (!stat) return std::nullopt;
  std::istringstream lines(*stat);
  for (std::string line; std::getline(lines, line);)
    if (line.rfind("btime ", 0) == 0)
      if (const auto seconds = ParseCount(std::string_view(line).substr(6))) return static_cast<double>(*seconds);
  return std::nullopt;
}

std::optional<ProcessStat> ReadProcessStat() {
  const std::optional<std::string> line = ReadProcFile("/proc/self/stat");
  return line ? ParseProcessStat(*line) : std::nullopt;
}

double TicksPerSecond() { return static_cast<double>(::sysconf(_SC_CLK_TCK)); }

// Entries of /proc/self/fd: the descriptors open now (the one reading the folder among them).
std::optional<std::uint64_t> OpenDescriptors() {
  std::error_code error;
  std::filesystem::directory_iterator entries("/proc/self/fd", error);
  if (error) return std::nullopt;
  std::uint64_t count = 0;
  for (const auto& entry : entries) {
    (void)entry;
    ++count;
  }
  return count;
}

}  // namespace

std::optional<ProcessStat> ParseProcessStat(std::string_view line) {
  const std::size_t name_end = line.rfind(')');
  if (name_end == std::string_view::npos) return std::nullopt;
  // Field 3 (the state) is the first after the name; utime is field 14, stime 15, starttime
  // 22, rss 24.
  std::vector<std::string_view> fields;
  for (std::size_t at = name_end + 1; at < line.size();) {
    const std::size_t start = line.find_first_not_of(" \n", at);
    if (start == std::string_view::npos) break;
    const std::size_t end = std::min(line.find_first_of(" \n", start), line.size());
    fields.push_back(line.substr(start, end - start));
    at = end;
  }
  const auto field = [&](std::size_t number) -> std::optional<std::uint64_t> {
    return number - 3 < fields.size() ? ParseCount(fields[number - 3]) : std::nullopt;
  };
  const auto user = field(14), system = field(15), start = field(22), resident = field(24);
  if (!user || !system || !start || !resident) return std::nullopt;
  return ProcessStat{*user, *system, *start, *resident};
}

std::optional<std::uint64_t> ParseMaxOpenFiles(std::string_view limits) {
  constexpr std::string_view kName = "Max open files";
  for (std::size_t at = 0; at < limits.size();) {
    const std::size_t end = std::min(limits.find('\n', at), limits.size());
    std::string_view line = limits.substr(at, end - at);
    at = end + 1;
    if (!line.starts_with(kName)) continue;
    line.remove_prefix(kName.size());
    const std::size_t start = line.find_first_not_of(' ');
    if (start == std::string_view::npos) return std::nullopt;
    line.remove_prefix(start);
    return ParseCount(line.substr(0, line.find(' ')));
  }
  return std::nullopt;
}

ProcessMetrics::ProcessMetrics() {
  const std::optional<ProcessStat> stat = ReadProcessStat();
  const std::optional<double> boot_time = BootTime();
  if (stat && boot_time) start_time_seconds_ = *boot_time + static_cast<double>(stat->start_ticks) / TicksPerSecond();
}

std::vector<prometheus::MetricFamily> ProcessMetrics::Collect() const {
  using prometheus::MetricType;
  std::vector<prometheus::MetricFamily> families;
  if (const std::optional<ProcessStat> stat = ReadProcessStat()) {
    families.push_back(SingleSampleFamily(
        "process_cpu_seconds_total", "Total user and system CPU time spent in seconds.", MetricType::Counter,
        static_cast<double>(stat->user_ticks + stat->system_ticks) / TicksPerSecond()));
    families.push_back(SingleSampleFamily(
        "process_resident_memory_bytes", "Resident memory size in bytes.", MetricType::Gauge,
        static_cast<double>(stat->resident_pages) * static_cast<double>(::sysconf(_SC_PAGESIZE))));
  }
  if (const std::optional<std::uint64_t> open = OpenDescriptors())
    families.push_back(SingleSampleFamily("process_open_fds", "Number of open file descriptors.", MetricType::Gauge,
                                          static_cast<double>(*open)));
  if (const std::optional<std::string> limits = ReadProcFile("/proc/self/limits"))
    if (const std::optional<std::uint64_t> max = ParseMaxOpenFiles(*limits))
      families.push_back(SingleSampleFamily("process_max_fds", "Maximum number of open file descriptors.",
                                            MetricType::Gauge, static_cast<double>(*max)));
  if (start_time_seconds_)
    families.push_back(SingleSampleFamily("process_start_time_seconds",
                                          "Start time of the process since unix epoch in seconds.", MetricType::Gauge,
                                          *start_time_seconds_));
  return families;
}

}  // namespace qit
