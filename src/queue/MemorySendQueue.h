#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <unordered_map>
#include <vector>

#include "queue/SendQueue.h"

namespace qit {

class TVoradaLogger;

// The send queue in memory. Request threads append, the insert worker takes batches; both
// hold the lock only to move records in or out, never while a list is copied. Records are
// kept from the first call on, also before a worker runs, and are lost when the process
// ends.
class MemorySendQueue final : public ISendQueueProducer, public ISendQueueConsumer {
 public:
  // The log receives the one failure the queue does not raise: a call without a list.
  explicit MemorySendQueue(TVoradaLogger& log);
  ~MemorySendQueue() override;
  MemorySendQueue(const MemorySendQueue&) = delete;
  MemorySendQueue& operator=(const MemorySendQueue&) = delete;

  // Most records, and most bytes, held at once, the worker's included (0: no limit). Without
  // them a caller that sends faster than the database takes the records would grow the
  // queue until memory runs out.
  void SetMaxRecords(std::size_t max_records);
  void SetMaxBytes(std::size_t max_bytes);

  // Called after every list accepted (an empty one too), outside the queue's lock: the
  // worker's wake-up. It may call back into the queue; it must not raise.
  void SetWakeUp(std::function<void()> wake_up);

  // A missing list (nullptr) has nothing to copy: the conversion error an assignment from nil
  // gives is logged under "AdicionarListaDeEnvio", nothing is queued and nothing is raised,
  // since sending the same call again could not help.
  void AdicionarListaDeEnvio(const TListaIntegraTelemetria* ListaTelemetria, int CodigoEmpresa) override;

  // When memory runs short, TakeBatch hands out fewer records than it could, or raises
  // std::bad_alloc with every record still waiting; GiveBack raises std::bad_alloc only when
  // the line cannot take one more block of bookkeeping, and the records given are then lost.
  std::vector<QueuedRecord> TakeBatch(std::size_t max_records) override;
  void GiveBack(std::vector<QueuedRecord> records) override;
  void Acknowledge(std::span<const std::uint64_t> sequences) override;
  std::size_t WaitingRecords() const override;
  std::size_t WaitingBytes() const override;

  // Raises EListaDeEnvioCheia, with the text AdicionarListaDeEnvio would give, when a list of
  // that many records taking that many bytes would not be taken now. Readers of a list use it
  // to stop as soon as the list passes what the queue can take.
  void CheckRoomFor(std::size_t records, std::size_t bytes) const;

  // What a record is charged: its own size and the heap blocks of its texts. The same
  // estimate is used when a record enters the queue and when it comes back to it.
  static std::size_t RecordBytes(const QueuedRecord& record);
  // What the queue's copy of a record is charged when a list brings it: its copy holds each
  // text longer than fits inside the string object in a block of exactly that length.
  static std::size_t RecordBytes(const TIntegraTelemetria& record);

  // The steps of AdicionarListaDeEnvio, for a queue that keeps a record of its lists
  // elsewhere before they are taken (the journal):
  //
  // The queue's copy of every record of the list, charged and tagged with the company code,
  // without numbers yet. Raises EListaDeEnvioCheia when the list would not be taken now,
  // EListaDeEnvio when the copy fails.
  std::vector<QueuedRecord> CopyList(const TListaIntegraTelemetria& list, int company_code) const;
  // Numbers for a list of `count` records: its first sequence (the others follow it) and its
  // list number. Numbers taken are never given again, also when the list is not queued.
  struct Numbers {
    std::uint64_t first_sequence = 0;
    std::uint64_t list = 0;
  };
  Numbers ReserveNumbers(std::size_t count);
  // Room for a list on its way in (written to the journal, waiting for its sync): it counts
  // against the limits from now on, so that lists in flight cannot pass them. Raises
  // EListaDeEnvioCheia when the limits do not let it in.
  void HoldRoom(std::size_t records, std::size_t bytes);
  // Gives back room held for a list that will not come.
  void ReleaseRoom(std::size_t records, std::size_t bytes);
  // Queues records numbered by ReserveNumbers, whose room HoldRoom held, and runs the
  // wake-up; the room held passes to them. Raises EListaDeEnvio, with nothing queued and the
  // room given back, when memory runs short.
  void Enqueue(std::vector<QueuedRecord> records);
  // Queues records that were accepted before (by an earlier run), with their numbers and in
  // the order given, whatever the limits; later numbers follow theirs and are at least
  // `next`. Runs the wake-up.
  void Restore(std::vector<QueuedRecord> records, Numbers next);
  // Acknowledge, telling which of the sequences were in the worker's hands.
  std::vector<std::uint64_t> AcknowledgeHeld(std::span<const std::uint64_t> sequences);

 private:
  // The records of one accepted list (or one give-back); next is the first not yet taken.
  struct Chunk {
    std::vector<QueuedRecord> records;
    std::size_t next = 0;
  };

  // Raises EListaDeEnvioCheia when records/bytes more would pass a limit. Under the lock.
  void CheckRoom(std::size_t records, std::size_t bytes) const;
  // How Push treats the records it is given.
  enum class PushMode {
    kNumber,    // new records: room checked, numbered under the lock
    kNumbered,  // numbered by ReserveNumbers: room held before
    kRestore,   // accepted by an earlier run: no room check, later numbers follow theirs
  };
  // Room held for lists on their way in stops counting. Under the lock.
  void LetGoHeldRoom(std::size_t records, std::size_t bytes);
  // Appends the records as one chunk and runs the wake-up (also for none); called under no
  // lock.
  void Push(std::vector<QueuedRecord> records, PushMode mode);

  TVoradaLogger& log_;
  mutable std::mutex mutex_;
  std::deque<Chunk> waiting_;
  std::size_t waiting_records_ = 0;
  std::size_t waiting_bytes_ = 0;
  std::unordered_map<std::uint64_t, std::size_t> in_flight_;  // sequence -> bytes charged
  std::size_t in_flight_bytes_ = 0;
  // Room held for lists on their way in.
  std::size_t held_records_ = 0;
  std::size_t held_bytes_ = 0;
  std::uint64_t next_sequence_ = 1;
  std::uint64_t next_list_ = 1;
  std::size_t max_records_ = 0;  // 0: no limit
  std::size_t max_bytes_ = 0;    // 0: no limit
  // Shared so that a caller can run it after leaving the lock while another thread sets a
  // new one.
  std::shared_ptr<const std::function<void()>> wake_up_;
};

}  // namespace qit
