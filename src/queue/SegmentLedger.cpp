#include "queue/SegmentLedger.h"

#include <algorithm>
#include <iterator>
#include <system_error>

#include <fmt/format.h>

#include "logging/VoradaLogger.h"
#include "queue/JournalFormat.h"

namespace qit {

namespace fs = std::filesystem;

SegmentLedger::SegmentLedger(FileLayer& files, fs::path folder, TVoradaLogger& log)
    : files_(files), folder_(std::move(folder)), log_(log) {}

void SegmentLedger::Add(const Segment& segment) {
  segments_.push_back(segment);
  bytes_.fetch_add(segment.bytes, std::memory_order_relaxed);
}

void SegmentLedger::Clear() {
  segments_.clear();
  bytes_.store(0, std::memory_order_relaxed);
}

void SegmentLedger::ResizeNewest(std::uint64_t bytes) {
  Segment& newest = segments_.back();
  bytes_.fetch_add(bytes - newest.bytes, std::memory_order_relaxed);  // wraps as it shrinks
  newest.bytes = bytes;
}

SegmentLedger::Segment* SegmentLedger::Of(std::uint64_t sequence) {
  // Sequences grow with the segments: a record is in the last segment begun at or below it.
  const auto after = std::upper_bound(segments_.begin(), segments_.end(), sequence,
                                      [](std::uint64_t s, const Segment& segment) { return s < segment.first_sequence; });
  return after == segments_.begin() ? nullptr : &*std::prev(after);
}

void SegmentLedger::Listed(std::uint64_t sequence) {
  if (Segment* segment = Of(sequence)) ++segment->live;
}

void SegmentLedger::Forget(std::uint64_t number, std::uint32_t records) {
  for (Segment& segment : segments_)
    if (segment.number == number) segment.live -= records;
}

void SegmentLedger::Done(std::span<const std::uint64_t> sequences) {
  for (const std::uint64_t sequence : sequences)
    if (Segment* segment = Of(sequence); segment != nullptr && segment->live > 0) --segment->live;
  DeleteDone();
}

void SegmentLedger::DeleteDone() {
  bool deleted = false;
  // Oldest first and never the one written: a younger segment may hold the done marks of an
  // older one's records, and must outlive it. A damaged segment is moved aside instead, for
  // the operator; while it cannot be, it stays, and so do the younger ones.
  while (segments_.size() > 1 && segments_.front().live == 0) {
    if (segments_.front().disposal != Disposal::kDelete) {
      if (!MoveAside(segments_.front())) break;
    } else if (!Remove(segments_.front())) {
      break;
    }
    bytes_.fetch_sub(segments_.front().bytes, std::memory_order_relaxed);
    segments_.pop_front();
    deleted = true;
  }
  if (deleted) {
    try {
      files_.SyncFolder(folder_);
    } catch (const std::system_error&) {
      // A segment that comes back after a crash only brings done records and marks.
    }
  }
}

bool SegmentLedger::Remove(const Segment& segment) {
  const fs::path path = journal::SegmentPath(folder_, segment.number);
  try {
    files_.Remove(path);
    return true;
  } catch (const std::system_error& error) {
    log_.Registrar("", false,
                   fmt::format("Fila de envio: segmento {} não pôde ser removido: {}", path.filename().string(),
                               error.code().message()),
                   stError);
    return false;
  }
}

bool SegmentLedger::MoveAside(Segment& segment) {
  const fs::path file = journal::SegmentPath(folder_, segment.number);
  const fs::path aside_folder = folder_ / journal::kAsideFolder;
  fs::path aside = aside_folder / file.filename();
  try {
    files_.CreateFolders(aside_folder);
    for (int n = 1; fs::exists(aside); ++n) aside = aside_folder / fmt::format("{}.{}", file.filename().string(), n);
    files_.Rename(file, aside);
  } catch (const std::system_error& error) {
    // Said once; the move is tried again as further records are done, and at the next start.
    if (segment.disposal == Disposal::kMoveAside)
      log_.Registrar("", false,
                     fmt::format("Fila de envio: segmento corrompido {} não pôde ser movido para {} ({}); ele fica em "
                                 "{}, com os segmentos mais novos, até que possa ser movido",
                                 file.filename().string(), aside_folder.string(), error.code().message(),
                                 folder_.string()),
                     stError);
    segment.disposal = Disposal::kMoveAsideFailed;
    return false;
  }
  try {
    // Both names reach the disk before a younger segment goes.
    files_.SyncFolder(aside_folder);
    files_.SyncFolder(folder_);
  } catch (const std::system_error&) {
    // The move is made; only its durability is in doubt.
  }
  log_.Registrar("", false,
                 fmt::format("Fila de envio: segmento corrompido {} movido para {}", file.filename().string(),
                             aside.string()),
                 stError);
  return true;
}

}  // namespace qit
