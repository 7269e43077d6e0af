#include "workers/DriverAttempts.h"

#include <string>
#include <thread>

namespace qit {
namespace {

// Runs a statement without markers in the connection's transaction.
void Run(DbConnection& connection, const std::string& sql) {
  auto statement = connection.Prepare(sql);
  connection.Execute(*statement, {});
}

const std::string kSavepoint = "QIT_DRIVER_ATTEMPT";

}  // namespace

bool RunDriverAttempts(DbConnection& connection, DriverCache& cache, const std::function<void()>& attempt,
                       const std::function<void(const std::exception* error, int attempt)>& report,
                       std::chrono::milliseconds pause) {
  for (int n = 1; n <= kDriverAttempts; ++n) {
    const std::size_t cache_size = cache.Size();
    Run(connection, "SAVEPOINT " + kSavepoint);
    std::exception_ptr failure;
    try {
      attempt();
    } catch (...) {
      failure = std::current_exception();
    }
    if (!failure) {
      Run(connection, "RELEASE SAVEPOINT " + kSavepoint);
      return true;
    }
    cache.ShrinkTo(cache_size);
    try {
      std::rethrow_exception(failure);
    } catch (const std::exception& error) {
      report(&error, n);
    } catch (...) {
      report(nullptr, n);
    }
    Run(connection, "ROLLBACK TO SAVEPOINT " + kSavepoint);
    Run(connection, "RELEASE SAVEPOINT " + kSavepoint);
    if (pause.count() > 0) std::this_thread::sleep_for(pause);
  }
  return false;
}

}  // namespace qit
