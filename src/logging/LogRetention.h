#pragma once

#include <filesystem>
#include <optional>
#include <string_view>

#include "common/DateTime.h"

namespace qit {

// The date a log file carries in its name: the six digits yymmdd right after the prefix
// (year 2000 + yy). Nothing when the name does not start with the prefix, the six
// characters are not all digits, or they give an impossible date such as 30 February.
std::optional<TDateTime> DateInLogFileName(std::string_view file_name, std::string_view prefix);

// Deletes the files of `folder` whose name starts with `prefix` and whose date in the name
// lies more than `max_days` days before `today`. A file exactly `max_days` old stays, and
// so does every file without a readable date. Folders are never removed, and an error on
// one file (or on the folder) only skips it.
void DeleteOldLogFiles(const std::filesystem::path& folder, std::string_view prefix, TDateTime today,
                       int max_days);

}  // namespace qit
