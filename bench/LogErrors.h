#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>

namespace qit::bench {

// Whether a log file under `home` holds an error line ("Erro em ..."): a benchmark whose
// work failed somewhere measured nothing worth reporting.
inline bool LogHasError(const std::filesystem::path& home) {
  std::error_code ignored;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(home, ignored)) {
    if (!entry.is_regular_file()) continue;
    std::ifstream file(entry.path(), std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (text.find("Erro em") != std::string::npos) return true;
  }
  return false;
}

}  // namespace qit::bench
