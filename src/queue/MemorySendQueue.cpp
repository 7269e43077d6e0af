#include "queue/MemorySendQueue.h"

#include <algorithm>
#include <exception>
#include <new>
#include <string>
#include <utility>
#include <variant>

#include <fmt/format.h>

#include "logging/VoradaLogger.h"

namespace qit {

namespace {

// Heap bytes a text holds: none while it is short enough to live inside the object.
std::size_t HeapBytes(const std::string& text) {
  const char* data = text.data();
  const char* object = reinterpret_cast<const char*>(&text);
  const std::less<const char*> before;
  const bool inside = !before(data, object) && before(data, object + sizeof(text));
  return inside ? 0 : text.capacity() + 1;
}

// Heap bytes a copy of a text holds: none while it fits inside the object, else its
// characters and the terminator.
std::size_t CopiedHeapBytes(const std::string& text) {
  static const std::size_t kInline = std::string().capacity();
  return text.size() > kInline ? text.size() + 1 : 0;
}

[[noreturn]] void ThrowNotQueued(const std::exception& cause) {
  throw EListaDeEnvio(fmt::format(
      "Falha ao copiar a lista para a fila de envio ({}): a lista não foi incluída; envie a lista novamente",
      cause.what()));
}

// The queue's copy of every record of the list, charged and tagged, without sequences yet.
// Raises what the copy raises; the partial copy is freed before the caller handles it.
std::vector<QueuedRecord> CopyRecords(const TListaIntegraTelemetria& list, int company_code, std::size_t& bytes) {
  std::vector<QueuedRecord> records;
  records.reserve(static_cast<std::size_t>(list.Count()));
  bytes = 0;
  for (int i = 0; i < list.Count(); ++i) {
    // A position without an element is queued as an empty record, as the copy of the whole
    // list would give it. The record is copy-constructed, so that its texts take exactly what
    // they are charged.
    const TIntegraTelemetria* item = list.Items(i);
    QueuedRecord& queued =
        records.emplace_back(QueuedRecord{.company_code = company_code, .record = item ? *item : TIntegraTelemetria()});
    queued.bytes = MemorySendQueue::RecordBytes(queued.record);
    bytes += queued.bytes;
  }
  return records;
}

}  // namespace

MemorySendQueue::MemorySendQueue(TVoradaLogger& log) : log_(log) {}

MemorySendQueue::~MemorySendQueue() = default;

std::size_t MemorySendQueue::RecordBytes(const QueuedRecord& queued) {
  std::size_t bytes = sizeof(QueuedRecord);
  for (const TROField<TIntegraTelemetria>& field : TIntegraTelemetria::Fields())
    if (const auto* text = std::get_if<std::string TIntegraTelemetria::*>(&field.member))
      bytes += HeapBytes(queued.record.*(*text));
  return bytes;
}

std::size_t MemorySendQueue::RecordBytes(const TIntegraTelemetria& record) {
  std::size_t bytes = sizeof(QueuedRecord);
  for (const TROField<TIntegraTelemetria>& field : TIntegraTelemetria::Fields())
    if (const auto* text = std::get_if<std::string TIntegraTelemetria::*>(&field.member))
      bytes += CopiedHeapBytes(record.*(*text));
  return bytes;
}

void MemorySendQueue::CheckRoomFor(std::size_t records, std::size_t bytes) const {
  const std::lock_guard lock(mutex_);
  CheckRoom(records, bytes);
}

void MemorySendQueue::SetMaxRecords(std::size_t max_records) {
  const std::lock_guard lock(mutex_);
  max_records_ = max_records;
}

void MemorySendQueue::SetMaxBytes(std::size_t max_bytes) {
  const std::lock_guard lock(mutex_);
  max_bytes_ = max_bytes;
}

void MemorySendQueue::SetWakeUp(std::function<void()> wake_up) {
  auto shared = wake_up ? std::make_shared<const std::function<void()>>(std::move(wake_up)) : nullptr;
  const std::lock_guard lock(mutex_);
  wake_up_ = std::move(shared);
}

void MemorySendQueue::CheckRoom(std::size_t records, std::size_t bytes) const {
  if (records == 0) return;  // an empty list takes no room, even from a queue over its limit
  const std::size_t held_records = waiting_records_ + in_flight_.size() + held_records_;
  if (max_records_ > 0 && held_records + records > max_records_)
    throw EListaDeEnvioCheia(fmt::format(
        "Fila de envio cheia: {} registros aguardando gravação (limite {}); envie a lista novamente mais tarde",
        held_records, max_records_));
  const std::size_t held_bytes = waiting_bytes_ + in_flight_bytes_ + held_bytes_;
  if (max_bytes_ > 0 && held_bytes + bytes > max_bytes_)
    throw EListaDeEnvioCheia(fmt::format(
        "Fila de envio cheia: {} bytes aguardando gravação (limite {} bytes); envie a lista novamente mais tarde",
        held_bytes, max_bytes_));
}

void MemorySendQueue::AdicionarListaDeEnvio(const TListaIntegraTelemetria* ListaTelemetria, int CodigoEmpresa) {
  if (ListaTelemetria == nullptr) {
    const EConvertError error(fmt::format("Cannot assign a nil to a {}", TListaIntegraTelemetria::kClassInfo.name));
    log_.RegistrarExcecao(&error, "AdicionarListaDeEnvio", true);
    return;
  }
  Push(CopyList(*ListaTelemetria, CodigoEmpresa), PushMode::kNumber);
}

std::vector<QueuedRecord> MemorySendQueue::CopyList(const TListaIntegraTelemetria& list, int company_code) const {
  const auto count = static_cast<std::size_t>(list.Count());
  // A list that could not fit even at its smallest is refused before it is copied, so that
  // callers retrying against a full queue cost it no memory.
  CheckRoomFor(count, count * sizeof(QueuedRecord));
  // The copy is made outside the lock: other callers and the worker never wait for it.
  std::size_t bytes = 0;
  try {
    return CopyRecords(list, company_code, bytes);
  } catch (const std::exception& error) {
    ThrowNotQueued(error);
  }
}

MemorySendQueue::Numbers MemorySendQueue::ReserveNumbers(std::size_t count) {
  const std::lock_guard lock(mutex_);
  const Numbers numbers{next_sequence_, next_list_++};
  next_sequence_ += count;
  return numbers;
}

void MemorySendQueue::Enqueue(std::vector<QueuedRecord> records) { Push(std::move(records), PushMode::kNumbered); }

void MemorySendQueue::Restore(std::vector<QueuedRecord> records, Numbers next) {
  for (QueuedRecord& queued : records) queued.bytes = RecordBytes(queued);
  {
    const std::lock_guard lock(mutex_);
    next_sequence_ = std::max(next_sequence_, next.first_sequence);
    next_list_ = std::max(next_list_, next.list);
  }
  Push(std::move(records), PushMode::kRestore);
}

void MemorySendQueue::HoldRoom(std::size_t records, std::size_t bytes) {
  const std::lock_guard lock(mutex_);
  CheckRoom(records, bytes);
  held_records_ += records;
  held_bytes_ += bytes;
}

void MemorySendQueue::ReleaseRoom(std::size_t records, std::size_t bytes) {
  const std::lock_guard lock(mutex_);
  LetGoHeldRoom(records, bytes);
}

void MemorySendQueue::LetGoHeldRoom(std::size_t records, std::size_t bytes) {
  held_records_ -= std::min(records, held_records_);
  held_bytes_ -= std::min(bytes, held_bytes_);
}

void MemorySendQueue::Push(std::vector<QueuedRecord> records, PushMode mode) {
  const std::size_t count = records.size();
  std::size_t bytes = 0;
  for (const QueuedRecord& queued : records) bytes += queued.bytes;

  std::shared_ptr<const std::function<void()>> wake_up;
  {
    const std::lock_guard lock(mutex_);
    if (mode == PushMode::kNumbered) {
      // The room was held for them: it passes to them now, or is given back if they fail.
      LetGoHeldRoom(count, bytes);
    } else if (mode == PushMode::kNumber) {
      // Checked again with the real size: others may have filled the queue meanwhile.
      CheckRoom(count, bytes);
    }
    if (count > 0) {
      try {
        waiting_.push_back(Chunk{std::move(records)});
      } catch (const std::bad_alloc& error) {
        ThrowNotQueued(error);
      }
      std::vector<QueuedRecord>& queued_records = waiting_.back().records;
      if (mode == PushMode::kNumber) {
        const std::uint64_t list = next_list_++;
        for (QueuedRecord& queued : queued_records) {
          queued.sequence = next_sequence_++;
          queued.list = list;
        }
      } else if (mode == PushMode::kRestore) {
        for (const QueuedRecord& queued : queued_records) {
          next_sequence_ = std::max(next_sequence_, queued.sequence + 1);
          next_list_ = std::max(next_list_, queued.list + 1);
        }
      }
      waiting_records_ += count;
      waiting_bytes_ += bytes;
    }
    wake_up = wake_up_;
  }
  // Outside the lock, so that the wake-up may look at the queue and never makes the other
  // callers wait for it.
  if (wake_up) (*wake_up)();
}

std::vector<QueuedRecord> MemorySendQueue::TakeBatch(std::size_t max_records) {
  std::vector<QueuedRecord> batch;
  const std::lock_guard lock(mutex_);
  batch.reserve(std::min(max_records, waiting_records_));
  while (batch.size() < max_records && !waiting_.empty()) {
    Chunk& chunk = waiting_.front();
    while (chunk.next < chunk.records.size() && batch.size() < max_records) {
      QueuedRecord& queued = chunk.records[chunk.next];
      try {
        in_flight_.emplace(queued.sequence, queued.bytes);
      } catch (const std::bad_alloc&) {
        // Nothing of this record has moved yet: hand out what was taken so far, or report
        // the failure when that is nothing.
        if (batch.empty()) throw;
        return batch;
      }
      in_flight_bytes_ += queued.bytes;
      waiting_bytes_ -= queued.bytes;
      --waiting_records_;
      batch.push_back(std::move(queued));
      ++chunk.next;
    }
    if (chunk.next == chunk.records.size()) waiting_.pop_front();
  }
  return batch;
}

void MemorySendQueue::GiveBack(std::vector<QueuedRecord> records) {
  // Charged anew: the worker may have changed a record (it writes the identifiers it found
  // into its copy), and what is released later must be what is charged now.
  for (QueuedRecord& queued : records) queued.bytes = RecordBytes(queued);

  const std::lock_guard lock(mutex_);
  // The only step that can fail comes first, while nothing has changed.
  Chunk& front = waiting_.emplace_front();
  std::erase_if(records, [this](const QueuedRecord& queued) {
    const auto found = in_flight_.find(queued.sequence);
    if (found == in_flight_.end()) return true;
    in_flight_bytes_ -= found->second;
    in_flight_.erase(found);
    waiting_bytes_ += queued.bytes;
    ++waiting_records_;
    return false;
  });
  if (records.empty())
    waiting_.pop_front();
  else
    front.records = std::move(records);
}

void MemorySendQueue::Acknowledge(std::span<const std::uint64_t> sequences) { AcknowledgeHeld(sequences); }

std::vector<std::uint64_t> MemorySendQueue::AcknowledgeHeld(std::span<const std::uint64_t> sequences) {
  std::vector<std::uint64_t> held;
  held.reserve(sequences.size());
  const std::lock_guard lock(mutex_);
  for (const std::uint64_t sequence : sequences) {
    const auto found = in_flight_.find(sequence);
    if (found == in_flight_.end()) continue;
    in_flight_bytes_ -= found->second;
    in_flight_.erase(found);
    held.push_back(sequence);
  }
  return held;
}

std::size_t MemorySendQueue::WaitingRecords() const {
  const std::lock_guard lock(mutex_);
  return waiting_records_ + in_flight_.size();
}

std::size_t MemorySendQueue::WaitingBytes() const {
  const std::lock_guard lock(mutex_);
  return waiting_bytes_ + in_flight_bytes_;
}

}  // namespace qit
