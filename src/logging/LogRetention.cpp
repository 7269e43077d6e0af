#include "logging/LogRetention.h"

#include <algorithm>
#include <string>
#include <system_error>

namespace qit {

namespace {

constexpr std::size_t kDateDigits = 6;

bool AllDigits(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

int TwoDigits(std::string_view text, std::size_t at) { return (text[at] - '0') * 10 + (text[at + 1] - '0'); }

}  // namespace

std::optional<TDateTime> DateInLogFileName(std::string_view file_name, std::string_view prefix) {
  if (!file_name.starts_with(prefix) || file_name.size() < prefix.size() + kDateDigits) return std::nullopt;
  const std::string_view digits = file_name.substr(prefix.size(), kDateDigits);
  if (!AllDigits(digits)) return std::nullopt;
  const int year = 2000 + TwoDigits(digits, 0);
  const int month = TwoDigits(digits, 2);
  const int day = TwoDigits(digits, 4);
  if (!TDateTime::IsValidDate(year, month, day)) return std::nullopt;
  return TDateTime::EncodeDate(year, month, day);
}

void DeleteOldLogFiles(const std::filesystem::path& folder, std::string_view prefix, TDateTime today,
                       int max_days) {
  namespace fs = std::filesystem;
  // A negative limit would delete the file of today itself, the one about to be written.
  const int limit = std::max(max_days, 0);
  std::error_code error;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    const std::optional<TDateTime> date = DateInLogFileName(name, prefix);
    if (!date || today.DatePart() - date->DatePart() <= limit) continue;
    std::error_code entry_error;
    if (it->symlink_status(entry_error).type() == fs::file_type::directory || entry_error) continue;
    fs::remove(it->path(), entry_error);  // a file that cannot be deleted simply stays
  }
}

}  // namespace qit
