#include "workers/OneRequest.h"

#include "data/DataErrors.h"

namespace qit {

bool InOneRequest(DbConnection& connection, TVoradaLogger& log, const std::function<void()>& work,
                  const std::function<void()>& forget) {
  TVoradaLogger::HeldLines lines(log);
  connection.OpenBatch();
  try {
    work();
    connection.SendBatch();
  } catch (const std::exception& error) {
    if (!IsDataFailure(error)) {
      // The pass ends and rolls the transaction back, held writes and all.
      connection.AbandonBatch();
      lines.Release();
      throw;
    }
    connection.DiscardBatch();
    forget();
    return false;
  }
  lines.Release();
  return true;
}

}  // namespace qit
