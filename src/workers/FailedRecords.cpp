#include "workers/FailedRecords.h"

#include <fmt/format.h>

#include "common/Text.h"
#include "data/DataErrors.h"
#include "workers/DeadLetterFile.h"

namespace qit {

bool FailedRecords::ChargesRecord(const std::exception& error, bool written_alone, bool marked_alone) {
  return IsDataFailure(error) && (written_alone || !marked_alone);
}

bool FailedRecords::RefusedAsAWhole(const std::exception& error, std::size_t records) {
  return records > 1 && IsDataFailure(error);
}

void FailedRecords::HandBack(std::vector<QueuedRecord> back, const std::vector<std::string>& failures) {
  std::vector<QueuedRecord> kept;
  kept.reserve(back.size());
  for (std::size_t i = 0; i < back.size(); ++i) {
    QueuedRecord& record = back[i];
    if (i >= failures.size() || failures[i].empty() || ++record.failures < kMaxFailures) {
      kept.push_back(std::move(record));
      continue;
    }
    try {
      const std::filesystem::path file = WriteDeadLetterFile(rejected_folder_, record, failures[i], TDateTime::Now());
      log_.Registrar("", false,
                     fmt::format("Registro do veículo {} rejeitado após {} tentativas: gravado em {}",
                                 RequestText(record.record.ID_Veiculo), record.failures, file.string()),
                     stError);
      const std::uint64_t done[] = {record.sequence};
      if (metrics_) metrics_->CountRecords(ServiceMetrics::Records::kRejected);
      queue_.Acknowledge(done);
    } catch (const std::exception& write_error) {
      // Without its file the record stays in the queue and is tried again.
      log_.RegistrarExcecao(&write_error, "Rejeitados", true);
      kept.push_back(std::move(record));
    }
  }
  queue_.GiveBack(std::move(kept));
}

}  // namespace qit
