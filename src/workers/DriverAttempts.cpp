#include "workers/DriverAttempts.h"

#include <string_view>
#include <thread>

#include "data/DataErrors.h"
#include "workers/Savepoint.h"

namespace qit {
namespace {

constexpr std::string_view kSavepoint = "QIT_DRIVER_ATTEMPT";

}  // namespace

bool RunDriverAttempts(DbConnection& connection, DriverCache& cache, const std::function<void()>& attempt,
                       const std::function<void(const std::exception* error, int attempt)>& report,
                       std::chrono::milliseconds pause) {
  for (int n = 1; n <= kDriverAttempts; ++n) {
    const std::size_t cache_size = cache.Size();
    SetSavepoint(connection, kSavepoint);
    std::exception_ptr failure;
    try {
      attempt();
    } catch (const std::exception& error) {
      // The database's failures are not the driver's: trying again only waits on them.
      if (!IsDataFailure(error)) throw;
      failure = std::current_exception();
    } catch (...) {
      failure = std::current_exception();
    }
    if (!failure) {
      ReleaseSavepoint(connection, kSavepoint);
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
    RollBackToSavepoint(connection, kSavepoint);
    if (pause.count() > 0) std::this_thread::sleep_for(pause);
  }
  return false;
}

}  // namespace qit
