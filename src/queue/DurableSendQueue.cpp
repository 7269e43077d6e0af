#include "queue/DurableSendQueue.h"

#include <exception>
#include <utility>

#include <fmt/format.h>

#include "logging/VoradaLogger.h"

namespace qit {

DurableSendQueue::DurableSendQueue(MemorySendQueue& memory, TVoradaLogger& log) : memory_(memory), log_(log) {}

DurableSendQueue::~DurableSendQueue() = default;

std::size_t DurableSendQueue::Open(const std::filesystem::path& folder, SendJournalOptions options) {
  auto journal = std::make_unique<SendJournal>(folder, log_, std::move(options));
  SendJournal::Recovered recovered = journal->Open();
  const std::size_t records = recovered.records.size();
  memory_.Restore(std::move(recovered.records), {recovered.next_sequence, recovered.next_list});
  journal_ = std::move(journal);
  log_.Registrar("", false,
                 fmt::format("Fila de envio recuperada: {} registros de {} listas voltaram à fila", records,
                             recovered.lists),
                 stError);
  return records;
}

void DurableSendQueue::Close() {
  if (!journal_) return;
  try {
    journal_->Close();
  } catch (const std::exception& error) {
    log_.RegistrarExcecao(&error, "Fila de envio", true);
  }
}

void DurableSendQueue::AdicionarListaDeEnvio(const TListaIntegraTelemetria* ListaTelemetria, int CodigoEmpresa) {
  if (!journal_ || ListaTelemetria == nullptr || ListaTelemetria->Count() == 0) {
    memory_.AdicionarListaDeEnvio(ListaTelemetria, CodigoEmpresa);
    return;
  }
  std::vector<QueuedRecord> records = memory_.CopyList(*ListaTelemetria, CodigoEmpresa);
  journal_->AppendList(records, [this](std::size_t count) {
    const MemorySendQueue::Numbers numbers = memory_.ReserveNumbers(count);
    return std::pair{numbers.first_sequence, numbers.list};
  });
  std::vector<std::uint64_t> sequences;
  sequences.reserve(records.size());
  for (const QueuedRecord& queued : records) sequences.push_back(queued.sequence);
  try {
    memory_.Enqueue(std::move(records));
  } catch (const std::exception&) {
    // Others filled the queue while the list was written: it is refused after all, and
    // marked done so that it does not come back at the next start.
    try {
      journal_->MarkDone(sequences);
    } catch (const std::exception& mark_error) {
      log_.RegistrarExcecao(&mark_error, "AdicionarListaDeEnvio", true);
    }
    throw;
  }
}

std::vector<QueuedRecord> DurableSendQueue::TakeBatch(std::size_t max_records) {
  return memory_.TakeBatch(max_records);
}

void DurableSendQueue::GiveBack(std::vector<QueuedRecord> records) { memory_.GiveBack(std::move(records)); }

void DurableSendQueue::Acknowledge(std::span<const std::uint64_t> sequences) {
  const std::vector<std::uint64_t> held = memory_.AcknowledgeHeld(sequences);
  if (journal_ && !held.empty()) journal_->MarkDone(held);
}

std::size_t DurableSendQueue::WaitingRecords() const { return memory_.WaitingRecords(); }

std::size_t DurableSendQueue::WaitingBytes() const { return memory_.WaitingBytes(); }

}  // namespace qit
