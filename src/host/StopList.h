#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace qit {

// The stops of the parts of a composition. Each part registers its stop as it starts, so
// that the list runs them in the reverse order: a part stops before the parts it was started
// on, whatever order their members were declared in, and only the parts that started stop.
// Used by one thread.
class StopList {
 public:
  // A part's stop, given the deadline of the whole stop; false when the part could not stop
  // in time (what it holds must then not be freed).
  using Stop = std::function<bool(std::chrono::steady_clock::time_point deadline)>;

  void Add(std::string name, Stop stop);

  // Runs the stops, the last registered first, each once; the list is empty afterwards.
  // true when every stop returned true.
  bool Run(std::chrono::steady_clock::time_point deadline);

  // The parts registered and not stopped yet, in their order of registration.
  std::vector<std::string> Names() const;

 private:
  struct Entry {
    std::string name;
    Stop stop;
  };
  std::vector<Entry> entries_;
};

}  // namespace qit
