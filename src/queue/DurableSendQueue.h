#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <vector>

#include "queue/MemorySendQueue.h"
#include "queue/SendJournal.h"

namespace qit {

class TVoradaLogger;

// The send queue as Enviar and the insert worker see it: the queue in memory, and, once
// Open was called, its journal on disk. With the journal a list is on disk before
// AdicionarListaDeEnvio returns, a record the worker acknowledges is marked done on disk
// before Acknowledge returns, and the records not done come back into the queue when the
// program starts again. Without it every call goes to the queue in memory as it is.
class DurableSendQueue final : public ISendQueueProducer, public ISendQueueConsumer {
 public:
  // The log receives the start-up's account of the journal.
  DurableSendQueue(MemorySendQueue& memory, TVoradaLogger& log);
  ~DurableSendQueue() override;
  DurableSendQueue(const DurableSendQueue&) = delete;
  DurableSendQueue& operator=(const DurableSendQueue&) = delete;

  // Starts the journal in `folder`: the records not done there go back into the queue, in
  // their order and with their numbers, and the log says how many. Called once, before any
  // list arrives and before the worker runs. Raises EListaDeEnvio when the folder cannot be
  // used. Returns the number of records that came back.
  std::size_t Open(const std::filesystem::path& folder, SendJournalOptions options = {});
  // Writes the done marks still kept and closes the journal; logs a failure. For the stop,
  // after the worker ended. Returns once every list written was called back: what a call
  // back reaches may go after it; a list that arrives later is refused (EListaDeEnvio).
  // false, with a log line, when the disk still held a list at the deadline: the journal is
  // left as it is, and neither it nor what its calls back reach may be freed.
  bool Close(std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max());

  bool Durable() const { return journal_ != nullptr; }
  // Bytes of the journal's files (0 without a journal).
  std::uint64_t JournalBytes() const { return journal_ ? journal_->DiskBytes() : 0; }
  // Syncs the journal made (0 without a journal).
  std::uint64_t JournalSyncs() const { return journal_ ? journal_->Syncs() : 0; }

  // Raises what the queue in memory raises, and EListaDeEnvio when the list could not be
  // written to the journal; in either case nothing is queued.
  void AdicionarListaDeEnvio(const TListaIntegraTelemetria* ListaTelemetria, int CodigoEmpresa) override;
  // With the journal, returns once the list is written and calls back from the journal's
  // thread after its sync, so that the caller's thread goes on meanwhile.
  void QueueList(const TListaIntegraTelemetria* ListaTelemetria, int CodigoEmpresa, ListQueued queued) override;

  std::vector<QueuedRecord> TakeBatch(std::size_t max_records) override;
  void GiveBack(std::vector<QueuedRecord> records) override;
  // The records leave the queue at once; raises EListaDeEnvio when their done mark could not
  // be written (it is written with the next one: until then a crash repeats them).
  void Acknowledge(std::span<const std::uint64_t> sequences) override;
  std::size_t WaitingRecords() const override;
  std::size_t WaitingBytes() const override;

 private:
  // The room a list takes in the queue in memory, held from before it is written until it is
  // queued, so that the lists waiting for their sync count against the queue's limits.
  struct Room {
    std::size_t records = 0;
    std::size_t bytes = 0;
  };
  Room HoldRoom(const std::vector<QueuedRecord>& records);
  // A list written to the journal goes to the queue in memory; when that fails (memory runs
  // short) its records are marked done, so that it does not come back at the next start, and
  // the failure is returned.
  std::exception_ptr EnqueueWritten(std::vector<QueuedRecord> records);
  // Numbers the journal gives a list: the queue in memory reserves them.
  SendJournal::Reserve Numbering();

  MemorySendQueue& memory_;
  TVoradaLogger& log_;
  std::unique_ptr<SendJournal> journal_;
};

}  // namespace qit
