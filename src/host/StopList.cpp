#include "host/StopList.h"

#include <utility>

namespace qit {

void StopList::Add(std::string name, Stop stop) { entries_.push_back({std::move(name), std::move(stop)}); }

bool StopList::Run(std::chrono::steady_clock::time_point deadline) {
  bool all = true;
  // Taken out first: a stop that registers or runs the list again finds it empty.
  std::vector<Entry> entries = std::exchange(entries_, {});
  for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) all = entry->stop(deadline) && all;
  return all;
}

std::vector<std::string> StopList::Names() const {
  std::vector<std::string> names;
  names.reserve(entries_.size());
  for (const Entry& entry : entries_) names.push_back(entry.name);
  return names;
}

}  // namespace qit
