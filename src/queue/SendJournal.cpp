#include "queue/SendJournal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <zlib.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <climits>
#include <cstring>
#include <exception>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <system_error>
#include <type_traits>
#include <unordered_set>
#include <variant>

#include <fmt/format.h>

#include "logging/VoradaLogger.h"

namespace qit {

namespace {

namespace fs = std::filesystem;

constexpr char kMagic[8] = {'Q', 'I', 'T', '-', 'F', 'I', 'L', 'A'};
constexpr std::uint32_t kFormatVersion = 1;
constexpr std::size_t kHeaderBytes = 16;
constexpr std::size_t kFrameBytes = 8;  // length and CRC before every payload
constexpr std::uint8_t kListEntry = 1;
constexpr std::uint8_t kDoneEntry = 2;
constexpr std::string_view kSegmentSuffix = ".seg";
constexpr std::string_view kAsideFolder = "corrompidos";  // damaged segments, kept for the operator
constexpr int kNameDigits = 20;

std::uint32_t Crc(std::uint32_t crc, std::string_view bytes) {
  // zlib takes at most UINT_MAX bytes a call.
  while (!bytes.empty()) {
    const auto chunk = static_cast<uInt>(std::min<std::size_t>(bytes.size(), UINT_MAX));
    crc = static_cast<std::uint32_t>(::crc32(crc, reinterpret_cast<const Bytef*>(bytes.data()), chunk));
    bytes.remove_prefix(chunk);
  }
  return crc;
}

void PutU8(std::string& out, std::uint8_t value) { out.push_back(static_cast<char>(value)); }
void PutU32(std::string& out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
}
void PutU64(std::string& out, std::uint64_t value) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
}

// Reads little-endian values from a payload; a read past its end clears ok and gives zero.
struct Reader {
  std::string_view bytes;
  bool ok = true;

  std::uint64_t Unsigned(int size) {
    if (bytes.size() < static_cast<std::size_t>(size)) {
      ok = false;
      bytes = {};
      return 0;
    }
    std::uint64_t value = 0;
    for (int i = 0; i < size; ++i) value |= std::uint64_t{static_cast<unsigned char>(bytes[i])} << (8 * i);
    bytes.remove_prefix(static_cast<std::size_t>(size));
    return value;
  }
  std::uint8_t U8() { return static_cast<std::uint8_t>(Unsigned(1)); }
  std::uint32_t U32() { return static_cast<std::uint32_t>(Unsigned(4)); }
  std::uint64_t U64() { return Unsigned(8); }
  std::string Text() {
    const std::uint32_t size = U32();
    if (!ok || bytes.size() < size) {
      ok = false;
      return {};
    }
    std::string text(bytes.substr(0, size));
    bytes.remove_prefix(size);
    return text;
  }
};

// A record's fields in the contract's declared order.
void PutRecord(std::string& out, const TIntegraTelemetria& record) {
  for (const TROField<TIntegraTelemetria>& field : TIntegraTelemetria::Fields())
    std::visit(
        [&](auto member) {
          const auto& value = record.*member;
          using Value = std::decay_t<decltype(value)>;
          if constexpr (std::is_same_v<Value, std::string>) {
            PutU32(out, static_cast<std::uint32_t>(value.size()));
            out += value;
          } else if constexpr (std::is_same_v<Value, TDateTime>) {
            PutU64(out, std::bit_cast<std::uint64_t>(value.Days()));
          } else {
            PutU32(out, static_cast<std::uint32_t>(value));
          }
        },
        field.member);
}

TIntegraTelemetria ReadRecord(Reader& in) {
  TIntegraTelemetria record;
  for (const TROField<TIntegraTelemetria>& field : TIntegraTelemetria::Fields())
    std::visit(
        [&](auto member) {
          auto& value = record.*member;
          using Value = std::decay_t<decltype(value)>;
          if constexpr (std::is_same_v<Value, std::string>) value = in.Text();
          else if constexpr (std::is_same_v<Value, TDateTime>) value = TDateTime(std::bit_cast<double>(in.U64()));
          else value = static_cast<int>(in.U32());
        },
        field.member);
  return record;
}

std::string Header() {
  std::string header(kMagic, sizeof kMagic);
  PutU32(header, kFormatVersion);
  PutU32(header, Crc(0, header));
  return header;
}

std::string ErrorText(int error) { return std::system_category().message(error); }

[[noreturn]] void ThrowWriteFailed(int error) {
  throw EListaDeEnvio(fmt::format(
      "Falha ao gravar na fila de envio em disco ({}): a lista não foi incluída; envie a lista novamente",
      ErrorText(error)));
}

// The number of a segment file's name, or nothing for another file.
std::optional<std::uint64_t> SegmentNumber(const fs::path& file) {
  const std::string name = file.filename().string();
  if (name.size() != kNameDigits + kSegmentSuffix.size() || !name.ends_with(kSegmentSuffix)) return std::nullopt;
  std::uint64_t number = 0;
  for (int i = 0; i < kNameDigits; ++i) {
    if (name[static_cast<std::size_t>(i)] < '0' || name[static_cast<std::size_t>(i)] > '9') return std::nullopt;
    if (number > (UINT64_MAX - 9) / 10) return std::nullopt;
    number = number * 10 + static_cast<std::uint64_t>(name[static_cast<std::size_t>(i)] - '0');
  }
  return number;
}

// What start-up gathers from the segments.
struct Replay {
  std::map<std::uint64_t, QueuedRecord> live;  // by sequence
  std::unordered_set<std::uint64_t> done;
  std::uint64_t next_sequence = 1;
  std::uint64_t next_list = 1;
  // The lowest sequence listed for the first time since it was last reset.
  std::uint64_t lowest_listed = UINT64_MAX;

  // Applies one payload; false (and nothing applied) when it is not one we write.
  bool Apply(std::string_view payload) {
    Reader in{payload};
    const std::uint8_t kind = in.U8();
    if (kind == kListEntry) {
      const std::uint64_t list = in.U64();
      const auto company = static_cast<int>(in.U32());
      const std::uint64_t first = in.U64();
      const std::uint32_t count = in.U32();
      std::vector<TIntegraTelemetria> records;
      for (std::uint32_t i = 0; i < count && in.ok; ++i) records.push_back(ReadRecord(in));
      if (!in.ok || !in.bytes.empty() || count == 0 || first == 0 || first > UINT64_MAX - count) return false;
      for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint64_t sequence = first + i;
        // A record listed again (a start-up that wrote the records anew and stopped before it
        // removed the older segments) or marked done already stays as it is.
        if (done.contains(sequence) || live.contains(sequence)) continue;
        live.emplace(sequence, QueuedRecord{.sequence = sequence,
                                            .list = list,
                                            .company_code = company,
                                            .record = std::move(records[i])});
        lowest_listed = std::min(lowest_listed, sequence);
      }
      next_sequence = std::max(next_sequence, first + count);
      next_list = std::max(next_list, list + 1);
      return true;
    }
    if (kind == kDoneEntry) {
      const std::uint32_t count = in.U32();
      if (!in.ok || in.bytes.size() != std::size_t{count} * 8) return false;
      for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint64_t sequence = in.U64();
        done.insert(sequence);
        live.erase(sequence);
        if (sequence < UINT64_MAX) next_sequence = std::max(next_sequence, sequence + 1);
      }
      return true;
    }
    return false;
  }
};

// How reading one segment ended.
struct SegmentReading {
  enum class Outcome { kWhole, kTornTail, kDamaged } outcome = Outcome::kWhole;
  std::uint64_t good_end = 0;  // a torn tail: bytes up to the last good entry
  std::string damage;          // what was wrong at the first bad spot, for the log
};

bool AllZero(std::string_view bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](char c) { return c == 0; });
}

// An entry looked for at one position of a segment.
struct EntryAt {
  enum class Problem { kNone, kShort, kBadCrc, kUnreadable } problem = Problem::kNone;
  std::size_t end = 0;  // where it ends, as far as its length says (at most the file's end)
};

// Takes the entry at `position` of `data` and applies it when its length fits, its CRC holds
// and its payload is one we write.
EntryAt TakeEntry(std::string_view data, std::size_t position, Replay& replay) {
  using Problem = EntryAt::Problem;
  const std::string_view rest = data.substr(position);
  if (rest.size() < kFrameBytes) return {Problem::kShort, data.size()};
  Reader frame{rest.substr(0, kFrameBytes)};
  const std::uint32_t length = frame.U32();
  const std::uint32_t crc = frame.U32();
  if (length > rest.size() - kFrameBytes) return {Problem::kShort, data.size()};
  const std::size_t end = position + kFrameBytes + length;
  const std::string_view payload = rest.substr(kFrameBytes, length);
  if (Crc(Crc(0, rest.substr(0, 4)), payload) != crc) return {Problem::kBadCrc, end};
  if (!replay.Apply(payload)) return {Problem::kUnreadable, end};
  return {Problem::kNone, end};
}

// Whether an entry may begin at `position`: its frame and a payload of one of our kinds fit.
// Checked before the CRC while reading on past damage, so that the scan over a damaged
// stretch does not compute a CRC at every byte.
bool MayStartEntry(std::string_view data, std::size_t position) {
  if (data.size() - position <= kFrameBytes) return false;
  const auto kind = static_cast<std::uint8_t>(data[position + kFrameBytes]);
  return kind == kListEntry || kind == kDoneEntry;
}

std::string DamageText(EntryAt::Problem problem, std::size_t position) {
  switch (problem) {
    case EntryAt::Problem::kShort: return fmt::format("entrada incompleta no byte {}", position);
    case EntryAt::Problem::kBadCrc: return fmt::format("CRC inválido na entrada do byte {}", position);
    default: return fmt::format("entrada ilegível no byte {}", position);
  }
}

// Applies the good entries of a segment. After a bad spot reading goes on, byte by byte, at
// the next position where an entry holds, so that one damaged entry does not hold back the
// intact ones after it. A bad spot with no good entry after it, in the newest segment, that
// ends the file or is followed by zeros alone, is what a crash during a write leaves: a torn
// tail, to be cut there. Anything else is damage.
SegmentReading ReadSegment(std::string_view data, bool newest, Replay& replay) {
  using Outcome = SegmentReading::Outcome;
  if (data.size() < kHeaderBytes) {
    if (newest) return {Outcome::kTornTail, 0, {}};
    return {Outcome::kDamaged, 0, "cabeçalho incompleto"};
  }
  if (data.substr(0, kHeaderBytes) != Header()) return {Outcome::kDamaged, 0, "cabeçalho inválido"};
  SegmentReading reading;
  std::size_t position = kHeaderBytes;
  while (position < data.size()) {
    const EntryAt entry = TakeEntry(data, position, replay);
    if (entry.problem == EntryAt::Problem::kNone) {
      position = entry.end;
      continue;
    }
    std::size_t next = position + 1;
    EntryAt found;
    for (; next < data.size(); ++next)
      if (MayStartEntry(data, next) && (found = TakeEntry(data, next, replay)).problem == EntryAt::Problem::kNone)
        break;
    if (next >= data.size() && newest && reading.outcome == Outcome::kWhole && AllZero(data.substr(entry.end)))
      return {Outcome::kTornTail, position, {}};
    if (reading.outcome == Outcome::kWhole) reading = {Outcome::kDamaged, 0, DamageText(entry.problem, position)};
    position = next < data.size() ? found.end : data.size();
  }
  return reading;
}

// A list's records as an entry's body, written out before the journal's lock is taken.
struct ListBody {
  std::string bytes;
  std::uint32_t crc = 0;
};

ListBody EncodeList(const std::vector<QueuedRecord>& records) {
  if (records.size() > UINT32_MAX)
    throw EListaDeEnvio("Lista grande demais para a fila de envio em disco: a lista não foi incluída");
  ListBody body;
  for (const QueuedRecord& queued : records) PutRecord(body.bytes, queued.record);
  body.crc = Crc(0, body.bytes);
  return body;
}

}  // namespace

SendJournal::SendJournal(std::filesystem::path folder, TVoradaLogger& log, SendJournalOptions options)
    : folder_(std::move(folder)),
      log_(log),
      options_(std::move(options)),
      files_(*options_.files),
      syncer_([this] { RunSyncs(); }) {}

SendJournal::~SendJournal() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  synced_cv_.notify_all();
  syncer_.join();
}

std::filesystem::path SendJournal::SegmentPath(std::uint64_t number) const {
  return folder_ / fmt::format("{:0{}}{}", number, kNameDigits, kSegmentSuffix);
}

std::size_t SendJournal::Segments() const {
  const std::lock_guard lock(mutex_);
  return segments_.size();
}

void SendJournal::SyncFolder() const { files_.SyncFolder(folder_); }

SendJournal::Recovered SendJournal::Open() {
  std::unique_lock lock(mutex_);
  std::vector<std::pair<std::uint64_t, fs::path>> found;
  const auto folder_error = [this](const std::system_error& error) {
    return EListaDeEnvio(fmt::format("Falha ao abrir a pasta da fila de envio {}: {}", folder_.string(),
                                     ErrorText(error.code().value())));
  };
  try {
    files_.CreateFolders(folder_);
  } catch (const std::system_error& error) {
    throw folder_error(error);
  }
  // Two processes on one folder would remove each other's segments: the second start (a
  // service already running, say) is refused.
  if (!folder_lock_) {
    try {
      folder_lock_ = files_.LockFolder(folder_);
    } catch (const FolderInUse& error) {
      throw EListaDeEnvio(fmt::format("A pasta da fila de envio {} está em uso por outro processo ({})",
                                      folder_.string(), ErrorText(error.code().value())));
    } catch (const std::system_error& error) {
      throw folder_error(error);
    }
  }

  try {
    for (const fs::directory_entry& entry : fs::directory_iterator(folder_))
      if (const auto number = SegmentNumber(entry.path()); number && entry.is_regular_file())
        found.emplace_back(*number, entry.path());
  } catch (const fs::filesystem_error& error) {
    throw folder_error(error);
  }
  std::sort(found.begin(), found.end());
  // Every segment stays where it is, as it was read: the records it lists that are not done
  // are live there, and it goes once they are done and every older one is gone, as while
  // running. Nothing is written anew, so that a start on a full disk needs room for the new
  // segment's header alone.
  Replay replay;
  std::vector<std::pair<Segment, std::uint64_t>> kept;  // and the lowest sequence first listed in it
  for (std::size_t i = 0; i < found.size(); ++i) {
    const auto& [number, file] = found[i];
    if (options_.reading) options_.reading(i + 1, found.size());
    std::string data;
    try {
      data = files_.ReadAll(file);
    } catch (const std::system_error&) {
      throw EListaDeEnvio(fmt::format("Falha ao ler o segmento da fila de envio {}", file.string()));
    }
    replay.lowest_listed = UINT64_MAX;
    const SegmentReading reading = ReadSegment(data, i + 1 == found.size(), replay);
    Segment segment{number, 0, 0, data.size()};
    if (reading.outcome == SegmentReading::Outcome::kTornTail) {
      if (reading.good_end < data.size())
        log_.Registrar("", false,
                       fmt::format("Fila de envio: final incompleto do segmento {} descartado ({} bytes a partir do "
                                   "byte {}; gravação interrompida)",
                                   file.filename().string(), data.size() - reading.good_end, reading.good_end),
                       stError);
      CutTornTail(file, reading.good_end);
      if (reading.good_end < kHeaderBytes) continue;  // the file is gone
      segment.bytes = reading.good_end;
    } else if (reading.outcome == SegmentReading::Outcome::kDamaged) {
      log_.Registrar("", false,
                     fmt::format("Fila de envio: segmento corrompido {} ({}); as entradas legíveis voltaram à fila "
                                 "e o segmento será movido para {} quando estiverem concluídas",
                                 file.filename().string(), reading.damage, (folder_ / kAsideFolder).string()),
                     stError);
      segment.disposal = Disposal::kMoveAside;
    }
    kept.emplace_back(segment, replay.lowest_listed);
  }
  // A segment's first sequence is the lowest it lists or, listing none, the next one's:
  // sequences grow with the segments, so a record is counted in the segment that lists it.
  std::uint64_t first_sequence = replay.next_sequence;
  for (auto it = kept.rbegin(); it != kept.rend(); ++it)
    it->first.first_sequence = first_sequence = std::min(first_sequence, it->second);
  for (const auto& [segment, lowest] : kept) {
    segments_.push_back(segment);
    disk_bytes_.fetch_add(segment.bytes, std::memory_order_relaxed);
  }
  for (const auto& [sequence, queued] : replay.live) ++SegmentOf(sequence)->live;

  next_sequence_ = replay.next_sequence;
  const std::uint64_t number = found.empty() ? 1 : found.back().first + 1;
  try {
    StartSegment(lock, number, next_sequence_);
  } catch (const std::system_error& error) {
    segments_.clear();
    disk_bytes_.store(0, std::memory_order_relaxed);
    throw EListaDeEnvio(fmt::format("Falha ao iniciar a fila de envio em disco: o segmento {} não pôde ser criado ({})",
                                    SegmentPath(number).string(), ErrorText(error.code().value())));
  }
  DeleteDoneSegments();

  Recovered recovered;
  recovered.records.reserve(replay.live.size());
  for (auto& [sequence, queued] : replay.live) {
    if (recovered.records.empty() || recovered.records.back().list != queued.list) ++recovered.lists;
    recovered.records.push_back(std::move(queued));
  }
  recovered.next_sequence = replay.next_sequence;
  recovered.next_list = replay.next_list;
  return recovered;
}

void SendJournal::CutTornTail(const fs::path& file, std::uint64_t good_end) const {
  try {
    if (good_end < kHeaderBytes) {
      // Not even the header was written: the file holds nothing.
      files_.Remove(file);
    } else {
      // Synced, so that the cut tail cannot come back once the segment is no longer the
      // newest.
      const std::unique_ptr<File> segment = files_.Open(file, FileLayer::OpenMode::kWriteExisting);
      segment->Truncate(good_end);
      segment->SyncData();
    }
  } catch (const std::system_error& error) {
    throw EListaDeEnvio(fmt::format("Falha ao descartar o final incompleto do segmento da fila de envio {}: {}",
                                    file.string(), ErrorText(error.code().value())));
  }
}

void SendJournal::StartSegment(std::unique_lock<std::mutex>& lock, std::uint64_t number,
                               std::uint64_t first_sequence) {
  if (file_) {
    // Everything written to the old segment is synced before it is left, so the syncs that
    // follow concern the new file only.
    if (synced_ < appended_) SyncWritten(lock, false);
    file_.reset();
  }

  const fs::path path = SegmentPath(number);
  std::unique_ptr<File> file = files_.Open(path, FileLayer::OpenMode::kCreateNew, 0640);
  const std::string header = Header();
  try {
    try {
      file->WriteAt(0, header);
      file->SyncData();
    } catch (const std::system_error&) {
      syncs_.fetch_add(1, std::memory_order_relaxed);
      throw;
    }
    syncs_.fetch_add(1, std::memory_order_relaxed);
    SyncFolder();
  } catch (const std::system_error& error) {
    file.reset();
    try {
      files_.Remove(path);
    } catch (const std::system_error&) {
      // The empty segment left is read as a torn tail at the next start.
    }
    throw std::system_error(error.code(), path.string());
  }
  segments_.push_back(Segment{number, first_sequence, 0, header.size()});
  file_ = std::move(file);
  end_ = durable_end_ = header.size();
  broken_ = false;
  disk_bytes_.fetch_add(header.size(), std::memory_order_relaxed);
}

void SendJournal::PrepareSegment(std::unique_lock<std::mutex>& lock) {
  while (!file_ || broken_ || (end_ >= options_.segment_bytes && end_ != kHeaderBytes)) {
    // A segment is left only while the journal's thread does not sync it; whoever waited
    // for that looks again, as another caller may have started the next segment meanwhile.
    if (syncing_) {
      synced_cv_.wait(lock, [this] { return !syncing_; });
      continue;
    }
    try {
      StartSegment(lock, segments_.empty() ? 1 : segments_.back().number + 1, next_sequence_);
    } catch (const std::system_error& error) {
      ThrowWriteFailed(error.code().value());
    }
  }
}

std::uint64_t SendJournal::WriteEntry(std::unique_lock<std::mutex>& lock, std::string_view head,
                                      std::string_view body, std::uint32_t body_crc) {
  const std::size_t length = head.size() + body.size();
  if (length > UINT32_MAX)
    throw EListaDeEnvio(fmt::format(
        "Lista grande demais para a fila de envio em disco ({} bytes): a lista não foi incluída", length));
  std::string prefix;
  PutU32(prefix, static_cast<std::uint32_t>(length));
  std::uint32_t crc = Crc(Crc(0, prefix), head);
  crc = static_cast<std::uint32_t>(::crc32_combine(crc, body_crc, static_cast<z_off_t>(body.size())));
  PutU32(prefix, crc);
  prefix += head;

  try {
    file_->WriteAt(end_, prefix);
    file_->WriteAt(end_ + prefix.size(), body);
  } catch (const std::system_error& error) {
    // What reached the file is cut off, so that the next entry follows the last good one;
    // when even that fails, the next entry goes to a new segment.
    try {
      file_->Truncate(end_);
    } catch (const std::system_error&) {
      broken_ = true;
    }
    ThrowWriteFailed(error.code().value());
  }
  const std::uint64_t written = prefix.size() + body.size();
  end_ += written;
  segments_.back().bytes = end_;
  appended_ += written;
  disk_bytes_.fetch_add(written, std::memory_order_relaxed);
  entries_.fetch_add(1, std::memory_order_relaxed);
  return appended_;
}

void SendJournal::AwaitDurable(std::unique_lock<std::mutex>& lock, Waiter waiter) {
  Outcome outcome;
  waiter.outcome = &outcome;
  waiters_.push_back(std::move(waiter));
  synced_cv_.notify_all();
  synced_cv_.wait(lock, [&outcome] { return outcome.settled; });
  if (outcome.error) std::rethrow_exception(outcome.error);
}

void SendJournal::RunSyncs() {
  std::unique_lock lock(mutex_);
  for (;;) {
    synced_cv_.wait(lock, [this] { return !settled_.empty() || !waiters_.empty() || stopping_; });
    if (!settled_.empty()) {
      // Called back off the lock, so that they may queue what was written, and in the order
      // written.
      auto settled = std::move(settled_);
      settled_.clear();
      calling_back_ = true;
      lock.unlock();
      for (auto& [then, error] : settled) then(error);
      settled.clear();
      lock.lock();
      calling_back_ = false;
      synced_cv_.notify_all();
    } else if (!waiters_.empty()) {
      SyncWritten(lock, true);
    } else {
      return;  // stopping, and nothing is left to sync or call back
    }
  }
}

void SendJournal::SyncWritten(std::unique_lock<std::mutex>& lock, bool unlocked) {
  // Covers everything written up to now; what is written during the sync waits for the next.
  const std::uint64_t target = appended_;
  const std::uint64_t target_end = end_;
  File& file = *file_;
  if (unlocked) {
    syncing_ = true;
    lock.unlock();
  }
  int error = 0;
  try {
    file.SyncData();
  } catch (const std::system_error& failure) {
    error = failure.code().value();
  }
  if (unlocked) {
    lock.lock();
    syncing_ = false;
  }
  syncs_.fetch_add(1, std::memory_order_relaxed);
  if (error == 0) {
    synced_ = std::max(synced_, target);
    durable_end_ = std::max(durable_end_, target_end);
    Settle(target, nullptr);
  } else {
    DropUnsynced();
    Settle(appended_, std::make_exception_ptr(EListaDeEnvio(fmt::format(
                          "Falha ao sincronizar a fila de envio em disco ({}): a lista não foi incluída; envie a "
                          "lista novamente",
                          ErrorText(error)))));
  }
  synced_cv_.notify_all();
}

void SendJournal::Settle(std::uint64_t position, const std::exception_ptr& error) {
  while (!waiters_.empty() && waiters_.front().position <= position) {
    Waiter waiter = std::move(waiters_.front());
    waiters_.pop_front();
    if (error && waiter.records > 0)
      for (Segment& segment : segments_)
        if (segment.number == waiter.segment) segment.live -= waiter.records;
    if (waiter.outcome != nullptr) {
      waiter.outcome->settled = true;
      waiter.outcome->error = error;
    } else {
      settled_.emplace_back(std::move(waiter.then), error);
    }
  }
}

void SendJournal::DropUnsynced() {
  if (!file_ || end_ == durable_end_) return;
  try {
    file_->Truncate(durable_end_);
  } catch (const std::system_error&) {
    broken_ = true;
    return;
  }
  disk_bytes_.fetch_sub(end_ - durable_end_, std::memory_order_relaxed);
  end_ = durable_end_;
  segments_.back().bytes = end_;
}

SendJournal::Waiter SendJournal::WriteList(std::unique_lock<std::mutex>& lock, std::vector<QueuedRecord>& records,
                                           std::string_view body_bytes, std::uint32_t body_crc,
                                           const Reserve& reserve) {
  const auto count = static_cast<std::uint32_t>(records.size());
  PrepareSegment(lock);
  const auto [first_sequence, list] = reserve(count);
  next_sequence_ = std::max(next_sequence_, first_sequence + count);
  std::string head;
  PutU8(head, kListEntry);
  PutU64(head, list);
  PutU32(head, static_cast<std::uint32_t>(records.front().company_code));
  PutU64(head, first_sequence);
  PutU32(head, count);
  Waiter waiter;
  waiter.position = WriteEntry(lock, head, body_bytes, body_crc);
  waiter.segment = segments_.back().number;
  waiter.records = count;
  segments_.back().live += count;
  for (std::uint32_t i = 0; i < count; ++i) {
    records[i].sequence = first_sequence + i;
    records[i].list = list;
  }
  return waiter;
}

void SendJournal::AppendList(std::vector<QueuedRecord> records, const Reserve& reserve, Durable durable) {
  if (records.empty()) return durable(std::move(records), nullptr);
  // The records are written out before the lock is taken: only the numbers are left to add.
  const ListBody body = EncodeList(records);
  // Everything the call back needs is made before the entry is written: once it is, the call
  // back must follow.
  auto held = std::make_shared<std::vector<QueuedRecord>>(std::move(records));
  std::function<void(std::exception_ptr)> then = [held, durable = std::move(durable)](std::exception_ptr error) {
    durable(std::move(*held), std::move(error));
  };
  std::unique_lock lock(mutex_);
  if (closed_)
    throw EListaDeEnvio("A fila de envio em disco está fechada (parada do serviço): a lista não foi incluída; envie a "
                        "lista novamente");
  Waiter waiter = WriteList(lock, *held, body.bytes, body.crc, reserve);
  waiter.then = std::move(then);
  waiters_.push_back(std::move(waiter));
  synced_cv_.notify_all();
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
    if (marks.size() > (UINT32_MAX - 5) / 8) throw EListaDeEnvio("Conclusões demais para uma entrada da fila de envio");
    std::string head;
    PutU8(head, kDoneEntry);
    PutU32(head, static_cast<std::uint32_t>(marks.size()));
    for (const std::uint64_t sequence : marks) PutU64(head, sequence);
    PrepareSegment(lock);
    Waiter waiter;
    waiter.position = WriteEntry(lock, head, {}, Crc(0, {}));
    AwaitDurable(lock, std::move(waiter));
  } catch (const std::exception& error) {
    // Kept for the next mark; until then a crash would only repeat these records.
    pending_marks_.insert(pending_marks_.end(), marks.begin(), marks.end());
    throw EListaDeEnvio(fmt::format(
        "Falha ao gravar na fila de envio em disco a conclusão de {} registros ({}); a gravação será repetida",
        marks.size(), error.what()));
  }
  for (const std::uint64_t sequence : marks)
    if (Segment* segment = SegmentOf(sequence); segment != nullptr && segment->live > 0) --segment->live;
  DeleteDoneSegments();
}

SendJournal::Segment* SendJournal::SegmentOf(std::uint64_t sequence) {
  // Sequences grow with the segments: a record is in the last segment begun at or below it.
  const auto after = std::upper_bound(segments_.begin(), segments_.end(), sequence,
                                      [](std::uint64_t s, const Segment& segment) { return s < segment.first_sequence; });
  return after == segments_.begin() ? nullptr : &*std::prev(after);
}

void SendJournal::DeleteDoneSegments() {
  bool deleted = false;
  // Oldest first and never the one written: a younger segment may hold the done marks of an
  // older one's records, and must outlive it. A damaged segment is moved aside instead, for
  // the operator; while it cannot be, it stays, and so do the younger ones.
  while (segments_.size() > 1 && segments_.front().live == 0) {
    if (segments_.front().disposal != Disposal::kDelete) {
      if (!MoveAside(segments_.front())) break;
    } else if (!RemoveSegment(segments_.front().number)) {
      break;
    }
    disk_bytes_.fetch_sub(segments_.front().bytes, std::memory_order_relaxed);
    segments_.pop_front();
    deleted = true;
  }
  if (deleted) {
    try {
      SyncFolder();
    } catch (const std::exception&) {
      // A segment that comes back after a crash only brings done records and marks.
    }
  }
}

bool SendJournal::RemoveSegment(std::uint64_t number) {
  const fs::path path = SegmentPath(number);
  try {
    files_.Remove(path);
    return true;
  } catch (const std::system_error& error) {
    log_.Registrar("", false,
                   fmt::format("Fila de envio: segmento {} não pôde ser removido: {}", path.filename().string(),
                               ErrorText(error.code().value())),
                   stError);
    return false;
  }
}

bool SendJournal::MoveAside(Segment& segment) {
  const fs::path file = SegmentPath(segment.number);
  const fs::path aside_folder = folder_ / kAsideFolder;
  fs::path aside = aside_folder / file.filename();
  std::error_code error;
  try {
    files_.CreateFolders(aside_folder);
    for (int n = 1; fs::exists(aside); ++n) aside = aside_folder / fmt::format("{}.{}", file.filename().string(), n);
    files_.Rename(file, aside);
  } catch (const std::system_error& failure) {
    error = failure.code();
  }
  if (error) {
    // Said once; the move is tried again as further records are done, and at the next start.
    if (segment.disposal == Disposal::kMoveAside)
      log_.Registrar("", false,
                     fmt::format("Fila de envio: segmento corrompido {} não pôde ser movido para {} ({}); ele fica em "
                                 "{}, com os segmentos mais novos, até que possa ser movido",
                                 file.filename().string(), aside_folder.string(), error.message(), folder_.string()),
                     stError);
    segment.disposal = Disposal::kMoveAsideFailed;
    return false;
  }
  try {
    // Both names reach the disk before a younger segment goes.
    files_.SyncFolder(aside_folder);
    SyncFolder();
  } catch (const std::exception&) {
    // The move is made; only its durability is in doubt.
  }
  log_.Registrar("", false,
                 fmt::format("Fila de envio: segmento corrompido {} movido para {}", file.filename().string(),
                             aside.string()),
                 stError);
  return true;
}

void SendJournal::Close() {
  std::unique_lock lock(mutex_);
  // No list is taken from now on. Those written are synced and called back before Close
  // returns, so that nothing a call back reaches is used after the stop; the marks they may
  // leave (a list that could not be queued) are written with the others.
  closed_ = true;
  synced_cv_.wait(lock, [this] { return !syncing_ && !calling_back_ && waiters_.empty() && settled_.empty(); });
  std::exception_ptr failure;
  try {
    WriteMarks(lock, {});
  } catch (const std::exception&) {
    failure = std::current_exception();
  }
  file_.reset();
  if (failure) std::rethrow_exception(failure);
}

}  // namespace qit
