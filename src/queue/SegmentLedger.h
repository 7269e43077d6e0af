#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <span>

#include "common/FileLayer.h"

namespace qit {

class TVoradaLogger;

// The send journal's segments on disk, oldest first (the newest is the one written), with
// the records each lists that are not done. A segment goes once every record it lists is
// done and every older segment is gone, so that no done mark is lost before the record it
// marks; a damaged one is moved to the folder "corrompidos" instead, for the operator. Not
// synchronised: the journal calls it under its lock.
class SegmentLedger {
 public:
  // What becomes of a segment once its records are done.
  enum class Disposal : std::uint8_t {
    kDelete,
    kMoveAside,        // damaged: moved to the folder "corrompidos"
    kMoveAsideFailed,  // damaged, and a move failed (and was logged): tried again
  };

  struct Segment {
    std::uint64_t number = 0;
    std::uint64_t first_sequence = 0;  // no record listed in it has a lower sequence
    std::size_t live = 0;              // records listed in it and not done
    std::uint64_t bytes = 0;           // its file's size
    Disposal disposal = Disposal::kDelete;
  };

  SegmentLedger(FileLayer& files, std::filesystem::path folder, TVoradaLogger& log);

  // Takes a segment as the newest.
  void Add(const Segment& segment);
  void Clear();
  bool Empty() const { return segments_.empty(); }
  std::size_t Count() const { return segments_.size(); }
  Segment& Newest() { return segments_.back(); }
  // The number of the segment to start after the newest (1 with none).
  std::uint64_t NextNumber() const { return segments_.empty() ? 1 : segments_.back().number + 1; }
  // The newest segment's file now holds `bytes`.
  void ResizeNewest(std::uint64_t bytes);

  // A record listed in the segment that holds `sequence` (the last begun at or below it).
  void Listed(std::uint64_t sequence);
  // Records listed in segment `number` that will never be done there: their entry failed.
  void Forget(std::uint64_t number, std::uint32_t records);
  // Records done; the segments that are all done then go.
  void Done(std::span<const std::uint64_t> sequences);
  // Deletes (or moves aside) the oldest segments while every record they list is done,
  // never the newest.
  void DeleteDone();

  // Bytes of every segment's file; read without the journal's lock.
  std::uint64_t Bytes() const { return bytes_.load(std::memory_order_relaxed); }

 private:
  Segment* Of(std::uint64_t sequence);
  // Removes a segment's file; false (and a log line) when it cannot.
  bool Remove(const Segment& segment);
  // Moves a damaged segment to the folder "corrompidos"; false (and a log line, the first
  // time) when it cannot.
  bool MoveAside(Segment& segment);

  FileLayer& files_;
  const std::filesystem::path folder_;
  TVoradaLogger& log_;
  std::deque<Segment> segments_;
  std::atomic<std::uint64_t> bytes_{0};
};

}  // namespace qit
