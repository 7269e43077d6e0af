#pragma once

#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "common/ServiceMetrics.h"
#include "queue/MemorySendQueue.h"
#include "service/ServicoTelemetria_Impl.h"
#include "soap/ArrayReadLimits.h"

namespace qit {

// What Enviar reads from the data module. The company ports are added one by one while
// the listeners open, and calls may arrive on the first ones meanwhile, so the port table
// has its own lock. The log and the send queue exist from the start.
class EnviarEnvironment final : public IEnviarEnvironment {
 public:
  EnviarEnvironment(TVoradaLogger& log, ISendQueueProducer& queue, ServiceMetrics& metrics)
      : log_(log), queue_(queue), metrics_(metrics) {}

  // Listener position N (in order) with its port and company code.
  void AddPort(int port, int company_code);

  TVoradaLogger* Log() override { return &log_; }
  std::optional<int> CompanyCodeOfPort(int port) override;
  ISendQueueProducer* InserirIntegracao() override { return &queue_; }
  void CountEnviar(int port, bool queued, std::chrono::steady_clock::duration answer_time) noexcept override;

 private:
  TVoradaLogger& log_;
  ISendQueueProducer& queue_;
  ServiceMetrics& metrics_;
  std::mutex mutex_;
  std::vector<std::pair<int, int>> ports_;  // (port, company code), by listener position
};

// What a list read from a request may become, so that reading it stops as soon as it passes
// what the send queue can take now, or max_decoded_bytes (0: no such bound) of records charged
// as the queue charges its copies. The queue must outlive the limits.
ArrayReadLimits SendQueueReadLimits(const MemorySendQueue& queue, std::size_t max_decoded_bytes);

}  // namespace qit
