#include "TestSupport.h"

#include <atomic>
#include <fstream>
#include <sstream>

#include <unistd.h>

#include <fmt/format.h>

namespace qit::testing {

TempFolder::TempFolder() {
  static std::atomic<int> counter = 0;
  path_ = std::filesystem::temp_directory_path() /
          fmt::format("qit_service_tests_{}_{}", ::getpid(), counter.fetch_add(1));
  std::filesystem::create_directories(path_);
}

TempFolder::~TempFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

TestLog::TestLog() : logger_(folder_.Path()) {
  logger_.SetDiretorio("Logs");
  logger_.SetPrefixo("log_enviar");
  // As the program's own log: request threads write to it at the same time.
  logger_.SetMultiThread(true);
}

std::vector<std::string> TestLog::Texts() const {
  std::vector<std::string> texts;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder_.Path())) {
    if (!entry.is_regular_file()) continue;
    std::ifstream file(entry.path(), std::ios::binary);
    std::string line;
    while (std::getline(file, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      const std::size_t separator = line.find(" : ");
      texts.push_back(separator == std::string::npos ? line : line.substr(separator + 3));
    }
  }
  return texts;
}

}  // namespace qit::testing
