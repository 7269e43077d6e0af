#include "queue/SendJournal.h"

#include <algorithm>
#include <system_error>

#include <fmt/format.h>

#include "logging/VoradaLogger.h"
#include "queue/JournalFormat.h"
#include "queue/JournalRecovery.h"

namespace qit {

namespace fs = std::filesystem;

SendJournal::SendJournal(std::filesystem::path folder, TVoradaLogger& log, SendJournalOptions options)
    : folder_(std::move(folder)),
      log_(log),
      options_(std::move(options)),
      files_(*options_.files),
      ledger_(files_, folder_, log_),
      writer_(mutex_, files_, folder_, options_.segment_bytes, ledger_) {}

SendJournal::~SendJournal() { writer_.Stop(); }

std::size_t SendJournal::Segments() const {
  const std::lock_guard lock(mutex_);
  return ledger_.Count();
}

SendJournal::Recovered SendJournal::Open() {
  std::unique_lock lock(mutex_);
  const auto folder_error = [this](const std::system_error& error) {
    return EListaDeEnvio(fmt::format("Falha ao abrir a pasta da fila de envio {}: {}", folder_.string(),
                                     error.code().message()));
  };
  // Two processes on one folder would remove each other's segments: the second start (a
  // service already running, say) is refused.
  RecoveredSegments found;
  try {
    files_.CreateFolders(folder_);
    if (!folder_lock_) folder_lock_ = files_.LockFolder(folder_);
    // Every segment stays where it is, as it was read: the records it lists that are not
    // done are live there, and it goes once they are done and every older one is gone, as
    // while running. Nothing is written anew, so that a start on a full disk needs room for
    // the new segment's header alone.
    found = RecoverSegments(files_, folder_, log_, options_.reading);
  } catch (const FolderInUse& error) {
    throw EListaDeEnvio(fmt::format("A pasta da fila de envio {} está em uso por outro processo ({})",
                                    folder_.string(), error.code().message()));
  } catch (const std::system_error& error) {
    throw folder_error(error);
  }
  for (const RecoveredSegments::Segment& segment : found.segments)
    ledger_.Add({segment.number, segment.first_sequence, 0, segment.bytes,
                 segment.damaged ? SegmentLedger::Disposal::kMoveAside : SegmentLedger::Disposal::kDelete});
  for (const auto& [sequence, queued] : found.live) ledger_.Listed(sequence);

  next_sequence_ = found.next_sequence;
  try {
    writer_.Start(lock, found.next_segment, next_sequence_);
  } catch (const std::system_error& error) {
    ledger_.Clear();
    throw EListaDeEnvio(fmt::format("Falha ao iniciar a fila de envio em disco: o segmento {} não pôde ser criado ({})",
                                    journal::SegmentPath(folder_, found.next_segment).string(),
                                    error.code().message()));
  }
  ledger_.DeleteDone();

  Recovered recovered;
  recovered.records.reserve(found.live.size());
  for (auto& [sequence, queued] : found.live) {
    if (recovered.records.empty() || recovered.records.back().list != queued.list) ++recovered.lists;
    recovered.records.push_back(std::move(queued));
  }
  recovered.next_sequence = found.next_sequence;
  recovered.next_list = found.next_list;
  return recovered;
}

void SendJournal::AppendList(std::vector<QueuedRecord> records, const Reserve& reserve, Durable durable) {
  if (records.empty()) return durable(std::move(records), nullptr);
  // The pass goes with the call back and leaves once it has ended (or with it, when the list
  // is refused below): Close waits for it.
  Gate::Pass pass = lists_.Enter();
  if (!pass)
    throw EListaDeEnvio("A fila de envio em disco está fechada (parada do serviço): a lista não foi incluída; envie a "
                        "lista novamente");
  // The records are written out before the lock is taken: only the numbers are left to add.
  const journal::EncodedBody body = journal::EncodeListBody(records);
  // Everything the call back needs is made before the entry is written: once it is, the call
  // back must follow.
  auto held = std::make_shared<std::vector<QueuedRecord>>(std::move(records));
  std::function<void(std::exception_ptr)> then = [held, durable = std::move(durable),
                                                  pass = std::move(pass)](std::exception_ptr error) {
    durable(std::move(*held), std::move(error));
  };
  std::unique_lock lock(mutex_);
  std::vector<QueuedRecord>& list = *held;
  const auto count = static_cast<std::uint32_t>(list.size());
  writer_.Prepare(lock, next_sequence_);
  const auto [first_sequence, number] = reserve(count);
  next_sequence_ = std::max(next_sequence_, first_sequence + count);
  SegmentWriter::Waiter waiter;
  waiter.position =
      writer_.Write(journal::ListHead(number, list.front().company_code, first_sequence, count), body.bytes, body.crc);
  waiter.segment = ledger_.Newest().number;
  waiter.records = count;
  waiter.then = std::move(then);
  ledger_.Newest().live += count;
  for (std::uint32_t i = 0; i < count; ++i) {
    list[i].sequence = first_sequence + i;
    list[i].list = number;
  }
  writer_.Queue(std::move(waiter));
}

void SendJournal::MarkDone(std::span<const std::uint64_t> sequences) {
  std::unique_lock lock(mutex_);
  WriteMarks(lock, sequences);
}

void SendJournal::MarkDoneLater(std::span<const std::uint64_t> sequences) {
  const std::lock_guard lock(mutex_);
  pending_marks_.insert(pending_marks_.end(), sequences.begin(), sequences.end());
}

void SendJournal::WriteMarks(std::unique_lock<std::mutex>& lock, std::span<const std::uint64_t> more) {
  std::vector<std::uint64_t> marks = std::move(pending_marks_);
  pending_marks_.clear();
  marks.insert(marks.end(), more.begin(), more.end());
  if (marks.empty()) return;
  try {
    const std::string payload = journal::DonePayload(marks);
    writer_.Prepare(lock, next_sequence_);
    SegmentWriter::Waiter waiter;
    waiter.position = writer_.Write(payload, {}, journal::Crc(0, {}));
    writer_.AwaitDurable(lock, std::move(waiter));
  } catch (const std::exception& error) {
    // Kept for the next mark; until then a crash would only repeat these records.
    pending_marks_.insert(pending_marks_.end(), marks.begin(), marks.end());
    throw EListaDeEnvio(fmt::format(
        "Falha ao gravar na fila de envio em disco a conclusão de {} registros ({}); a gravação será repetida",
        marks.size(), error.what()));
  }
  ledger_.Done(marks);
}

bool SendJournal::Close(std::chrono::steady_clock::time_point deadline) {
  // No list is taken from now on. Those taken are synced and called back before Close goes
  // on, so that nothing a call back reaches is used after the stop; the marks they may leave
  // (a list that could not be queued) are written with the others. Waited for off the lock,
  // which the calls back take to keep such marks.
  if (!lists_.Close(deadline)) return false;
  std::unique_lock lock(mutex_);
  writer_.Drain(lock);
  std::exception_ptr failure;
  try {
    WriteMarks(lock, {});
  } catch (const std::exception&) {
    failure = std::current_exception();
  }
  writer_.CloseFile();
  if (failure) std::rethrow_exception(failure);
  return true;
}

}  // namespace qit
