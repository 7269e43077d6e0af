#include "host/EnviarEnvironment.h"

namespace qit {

void EnviarEnvironment::AddPort(int port, int company_code) {
  std::lock_guard lock(mutex_);
  ports_.emplace_back(port, company_code);
}

std::optional<int> EnviarEnvironment::CompanyCodeOfPort(int port) {
  std::lock_guard lock(mutex_);
  for (const auto& [listener_port, company_code] : ports_)
    if (listener_port == port) return company_code;
  return std::nullopt;
}

void EnviarEnvironment::CountEnviar(int port, bool queued, std::chrono::steady_clock::duration answer_time) noexcept {
  try {
    metrics_.CountEnviar(port, queued, answer_time);
  } catch (const std::exception&) {
    // No memory for a new port's entry: the call goes uncounted rather than failing.
  }
}

ArrayReadLimits SendQueueReadLimits(const MemorySendQueue& queue, std::size_t max_decoded_bytes) {
  ArrayReadLimits limits;
  // Requests carry lists of TIntegraTelemetria only; any other record is charged as an empty one.
  limits.item_bytes = [](const TROComplexType& item) {
    const auto* record = dynamic_cast<const TIntegraTelemetria*>(&item);
    return MemorySendQueue::RecordBytes(record ? *record : TIntegraTelemetria());
  };
  limits.check_room = [&queue](std::size_t records, std::size_t bytes) { queue.CheckRoomFor(records, bytes); };
  limits.max_decoded_bytes = max_decoded_bytes;
  return limits;
}

}  // namespace qit
