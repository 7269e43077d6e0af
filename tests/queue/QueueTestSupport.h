// What the queue tests share: a scratch log, lists of vehicles, the fields of queued records.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "logging/VoradaLogger.h"
#include "queue/SendQueue.h"

namespace qit::testing {

inline std::filesystem::path ScratchFolder(const char* prefix) {
  std::string pattern = (std::filesystem::temp_directory_path() / (std::string(prefix) + "XXXXXX")).string();
  if (::mkdtemp(pattern.data()) == nullptr) std::abort();
  return pattern;
}

// A logger writing below a scratch folder, and the texts of its lines without the time stamp.
class ScratchLog {
 public:
  ScratchLog() : folder_(MakeFolder()), logger_(folder_) { logger_.SetMultiThread(true); }
  ~ScratchLog() {
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
  TVoradaLogger& Logger() { return logger_; }

  std::vector<std::string> Texts() const {
    std::vector<std::string> texts;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder_)) {
      if (!entry.is_regular_file()) continue;
      std::ifstream file(entry.path(), std::ios::binary);
      for (std::string line; std::getline(file, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const std::size_t separator = line.find(" : ");
        texts.push_back(separator == std::string::npos ? line : line.substr(separator + 3));
      }
    }
    return texts;
  }

 private:
  static std::filesystem::path MakeFolder() { return ScratchFolder("qit_queue_tests_"); }

  std::filesystem::path folder_;
  TVoradaLogger logger_;
};

// A client's list whose records carry the given vehicle identifiers.
inline std::unique_ptr<TListaIntegraTelemetria> List(const std::vector<std::string>& vehicles) {
  auto list = std::make_unique<TListaIntegraTelemetria>();
  for (const std::string& vehicle : vehicles) list->Add()->ID_Veiculo = vehicle;
  return list;
}

inline std::vector<std::string> Vehicles(const std::vector<QueuedRecord>& records) {
  std::vector<std::string> vehicles;
  for (const QueuedRecord& queued : records) vehicles.push_back(queued.record.ID_Veiculo);
  return vehicles;
}

inline std::vector<std::uint64_t> Sequences(const std::vector<QueuedRecord>& records) {
  std::vector<std::uint64_t> sequences;
  for (const QueuedRecord& queued : records) sequences.push_back(queued.sequence);
  return sequences;
}

inline std::vector<int> Companies(const std::vector<QueuedRecord>& records) {
  std::vector<int> companies;
  for (const QueuedRecord& queued : records) companies.push_back(queued.company_code);
  return companies;
}

// Runs body on its own thread and waits for it. A body that does not finish in time is
// stuck for good (a deadlock): the test binary ends there, since the thread can be neither
// joined nor safely left behind.
inline void RunOrDie(std::function<void()> body) {
  std::packaged_task<void()> task(std::move(body));
  std::future<void> done = task.get_future();
  std::thread thread(std::move(task));
  if (done.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
    std::fprintf(stderr, "the queue did not return within 30 seconds: deadlock\n");
    std::_Exit(1);
  }
  thread.join();
  done.get();
}

}  // namespace qit::testing
