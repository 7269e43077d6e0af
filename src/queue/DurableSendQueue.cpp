#include "queue/DurableSendQueue.h"

#include <exception>
#include <future>
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

bool DurableSendQueue::Close(std::chrono::steady_clock::time_point deadline) {
  if (!journal_) return true;
  try {
    if (!journal_->Close(deadline)) {
      log_.Registrar("", false, "Fila de envio: listas ainda aguardando o disco no prazo da parada", stError);
      return false;
    }
  } catch (const std::exception& error) {
    log_.RegistrarExcecao(&error, "Fila de envio", true);
  }
  return true;
}

void DurableSendQueue::AdicionarListaDeEnvio(const TListaIntegraTelemetria* ListaTelemetria, int CodigoEmpresa) {
  if (!journal_ || ListaTelemetria == nullptr || ListaTelemetria->Count() == 0) {
    memory_.AdicionarListaDeEnvio(ListaTelemetria, CodigoEmpresa);
    return;
  }
  // The list takes the way of a call that need not wait, and this one waits for its end.
  std::promise<std::exception_ptr> outcome;
  std::future<std::exception_ptr> settled = outcome.get_future();
  QueueList(ListaTelemetria, CodigoEmpresa, [&outcome](std::exception_ptr error) { outcome.set_value(error); });
  if (const std::exception_ptr error = settled.get()) std::rethrow_exception(error);
}

void DurableSendQueue::QueueList(const TListaIntegraTelemetria* ListaTelemetria, int CodigoEmpresa,
                                 ListQueued queued) {
  if (!journal_ || ListaTelemetria == nullptr || ListaTelemetria->Count() == 0)
    return ISendQueueProducer::QueueList(ListaTelemetria, CodigoEmpresa, std::move(queued));
  std::vector<QueuedRecord> records = memory_.CopyList(*ListaTelemetria, CodigoEmpresa);
  const Room room = HoldRoom(records);
  try {
    journal_->AppendList(std::move(records), Numbering(),
                         [this, room, queued = std::move(queued)](std::vector<QueuedRecord> written,
                                                                 std::exception_ptr error) {
                           if (error) memory_.ReleaseRoom(room.records, room.bytes);
                           queued(error ? error : EnqueueWritten(std::move(written)));
                         });
  } catch (const std::exception&) {
    memory_.ReleaseRoom(room.records, room.bytes);
    throw;
  }
}

DurableSendQueue::Room DurableSendQueue::HoldRoom(const std::vector<QueuedRecord>& records) {
  Room room{records.size(), 0};
  for (const QueuedRecord& queued : records) room.bytes += queued.bytes;
  memory_.HoldRoom(room.records, room.bytes);
  return room;
}

SendJournal::Reserve DurableSendQueue::Numbering() {
  return [this](std::size_t count) {
    const MemorySendQueue::Numbers numbers = memory_.ReserveNumbers(count);
    return std::pair{numbers.first_sequence, numbers.list};
  };
}

std::exception_ptr DurableSendQueue::EnqueueWritten(std::vector<QueuedRecord> records) {
  std::vector<std::uint64_t> sequences;
  try {
    sequences.reserve(records.size());
    for (const QueuedRecord& queued : records) sequences.push_back(queued.sequence);
    memory_.Enqueue(std::move(records));
    return nullptr;
  } catch (const std::exception&) {
    std::exception_ptr refused = std::current_exception();
    try {
      journal_->MarkDoneLater(sequences);
    } catch (const std::exception&) {
      // No memory to keep the marks: the list comes back at the next start, as one whose
      // caller was told to send it again may.
    }
    return refused;
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
