#include "queue/JournalRecovery.h"

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <unordered_set>
#include <utility>

#include <fmt/format.h>

#include "logging/VoradaLogger.h"
#include "queue/JournalFormat.h"

namespace qit {

namespace fs = std::filesystem;

namespace {

// The records the entries read so far leave, and the numbers they used.
struct Replay {
  std::map<std::uint64_t, QueuedRecord> live;  // by sequence
  std::unordered_set<std::uint64_t> done;
  std::uint64_t next_sequence = 1;
  std::uint64_t next_list = 1;
  // The lowest sequence listed for the first time since it was last reset.
  std::uint64_t lowest_listed = UINT64_MAX;

  void Apply(journal::ListEntry& entry) {
    const auto count = static_cast<std::uint32_t>(entry.records.size());
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::uint64_t sequence = entry.first_sequence + i;
      // A record listed again (a start-up that wrote the records anew and stopped before it
      // removed the older segments) or marked done already stays as it is.
      if (done.contains(sequence) || live.contains(sequence)) continue;
      live.emplace(sequence, QueuedRecord{.sequence = sequence,
                                          .list = entry.list,
                                          .company_code = entry.company_code,
                                          .record = std::move(entry.records[i])});
      lowest_listed = std::min(lowest_listed, sequence);
    }
    next_sequence = std::max(next_sequence, entry.first_sequence + count);
    next_list = std::max(next_list, entry.list + 1);
  }

  void Apply(const journal::DoneEntry& entry) {
    for (const std::uint64_t sequence : entry.sequences) {
      done.insert(sequence);
      live.erase(sequence);
      next_sequence = std::max(next_sequence, sequence + 1);
    }
  }
};

enum class EntryProblem : std::uint8_t { kNone, kShort, kBadCrc, kUnreadable };

// An entry looked for at one position of a segment.
struct EntryAt {
  EntryProblem problem = EntryProblem::kNone;
  std::size_t end = 0;  // where it ends, as far as its length says (at most the file's end)
};

// Takes the entry at `position` of `data` and applies it when its length fits, its CRC holds
// and its payload is one we write.
EntryAt TakeEntry(std::string_view data, std::size_t position, Replay& replay) {
  const journal::Frame frame = journal::FrameAt(data, position);
  switch (frame.problem) {
    case journal::Frame::Problem::kShort: return {EntryProblem::kShort, frame.end};
    case journal::Frame::Problem::kBadCrc: return {EntryProblem::kBadCrc, frame.end};
    case journal::Frame::Problem::kNone: break;
  }
  auto payload = journal::DecodePayload(frame.payload);
  if (!payload) return {EntryProblem::kUnreadable, frame.end};
  std::visit([&replay](auto& entry) { replay.Apply(entry); }, *payload);
  return {EntryProblem::kNone, frame.end};
}

std::string DamageText(EntryProblem problem, std::size_t position) {
  switch (problem) {
    case EntryProblem::kShort: return fmt::format("entrada incompleta no byte {}", position);
    case EntryProblem::kBadCrc: return fmt::format("CRC inválido na entrada do byte {}", position);
    default: return fmt::format("entrada ilegível no byte {}", position);
  }
}

bool AllZero(std::string_view bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](char c) { return c == 0; });
}

// How reading one segment ended.
struct SegmentReading {
  enum class Outcome : std::uint8_t { kWhole, kTornTail, kDamaged } outcome = Outcome::kWhole;
  std::uint64_t good_end = 0;  // a torn tail: bytes up to the last good entry
  std::string damage;          // what was wrong at the first bad spot, for the log
};

// Applies the good entries of a segment. After a bad spot reading goes on, byte by byte, at
// the next position where an entry holds, so that one damaged entry does not hold back the
// intact ones after it. A bad spot with no good entry after it, in the newest segment, that
// ends the file or is followed by zeros alone, is a torn tail, to be cut there. Anything
// else is damage.
SegmentReading ReadSegment(std::string_view data, bool newest, Replay& replay) {
  using Outcome = SegmentReading::Outcome;
  if (data.size() < journal::kHeaderBytes) {
    if (newest) return {Outcome::kTornTail, 0, {}};
    return {Outcome::kDamaged, 0, "cabeçalho incompleto"};
  }
  if (data.substr(0, journal::kHeaderBytes) != journal::SegmentHeader())
    return {Outcome::kDamaged, 0, "cabeçalho inválido"};
  SegmentReading reading;
  std::size_t position = journal::kHeaderBytes;
  while (position < data.size()) {
    const EntryAt entry = TakeEntry(data, position, replay);
    if (entry.problem == EntryProblem::kNone) {
      position = entry.end;
      continue;
    }
    std::size_t next = position + 1;
    EntryAt found;
    for (; next < data.size(); ++next)
      if (journal::MayStartEntry(data, next) && (found = TakeEntry(data, next, replay)).problem == EntryProblem::kNone)
        break;
    if (next >= data.size() && newest && reading.outcome == Outcome::kWhole && AllZero(data.substr(entry.end)))
      return {Outcome::kTornTail, position, {}};
    if (reading.outcome == Outcome::kWhole) reading = {Outcome::kDamaged, 0, DamageText(entry.problem, position)};
    position = next < data.size() ? found.end : data.size();
  }
  return reading;
}

// Cuts a torn tail off a segment (removes the file when not even its header is whole).
void CutTornTail(FileLayer& files, const fs::path& file, std::uint64_t good_end) {
  try {
    if (good_end < journal::kHeaderBytes) {
      // Not even the header was written: the file holds nothing.
      files.Remove(file);
    } else {
      // Synced, so that the cut tail cannot come back once the segment is no longer the
      // newest.
      const std::unique_ptr<File> segment = files.Open(file, FileLayer::OpenMode::kWriteExisting);
      segment->Truncate(good_end);
      segment->SyncData();
    }
  } catch (const std::system_error& error) {
    throw EListaDeEnvio(fmt::format("Falha ao descartar o final incompleto do segmento da fila de envio {}: {}",
                                    file.string(), error.code().message()));
  }
}

}  // namespace

RecoveredSegments RecoverSegments(FileLayer& files, const fs::path& folder, TVoradaLogger& log,
                                  const std::function<void(std::size_t segment, std::size_t segments)>& reading) {
  std::vector<std::pair<std::uint64_t, fs::path>> found;
  for (const fs::directory_entry& entry : fs::directory_iterator(folder))
    if (const auto number = journal::SegmentNumber(entry.path()); number && entry.is_regular_file())
      found.emplace_back(*number, entry.path());
  std::sort(found.begin(), found.end());

  RecoveredSegments recovered;
  Replay replay;
  std::vector<std::uint64_t> lowest_listed;  // of each segment kept: the lowest sequence first listed in it
  for (std::size_t i = 0; i < found.size(); ++i) {
    const auto& [number, file] = found[i];
    if (reading) reading(i + 1, found.size());
    std::string data;
    try {
      data = files.ReadAll(file);
    } catch (const std::system_error&) {
      throw EListaDeEnvio(fmt::format("Falha ao ler o segmento da fila de envio {}", file.string()));
    }
    replay.lowest_listed = UINT64_MAX;
    const SegmentReading outcome = ReadSegment(data, i + 1 == found.size(), replay);
    RecoveredSegments::Segment segment{number, 0, data.size(), false};
    if (outcome.outcome == SegmentReading::Outcome::kTornTail) {
      if (outcome.good_end < data.size())
        log.Registrar("", false,
                      fmt::format("Fila de envio: final incompleto do segmento {} descartado ({} bytes a partir do "
                                  "byte {}; gravação interrompida)",
                                  file.filename().string(), data.size() - outcome.good_end, outcome.good_end),
                      stError);
      CutTornTail(files, file, outcome.good_end);
      if (outcome.good_end < journal::kHeaderBytes) continue;  // the file is gone
      segment.bytes = outcome.good_end;
    } else if (outcome.outcome == SegmentReading::Outcome::kDamaged) {
      log.Registrar("", false,
                    fmt::format("Fila de envio: segmento corrompido {} ({}); as entradas legíveis voltaram à fila "
                                "e o segmento será movido para {} quando estiverem concluídas",
                                file.filename().string(), outcome.damage, (folder / journal::kAsideFolder).string()),
                    stError);
      segment.damaged = true;
    }
    recovered.segments.push_back(segment);
    lowest_listed.push_back(replay.lowest_listed);
  }
  // A segment's first sequence is the lowest it lists or, listing none, the next one's:
  // sequences grow with the segments, so a record is counted in the segment that lists it.
  std::uint64_t first_sequence = replay.next_sequence;
  for (std::size_t i = recovered.segments.size(); i-- > 0;)
    recovered.segments[i].first_sequence = first_sequence = std::min(first_sequence, lowest_listed[i]);

  recovered.live = std::move(replay.live);
  recovered.next_sequence = replay.next_sequence;
  recovered.next_list = replay.next_list;
  recovered.next_segment = found.empty() ? 1 : found.back().first + 1;
  return recovered;
}

}  // namespace qit
