#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <vector>

#include "common/FileLayer.h"
#include "queue/SendQueue.h"

namespace qit {

class TVoradaLogger;

// What start-up finds in a send journal's folder.
struct RecoveredSegments {
  struct Segment {
    std::uint64_t number = 0;
    // No record counted in it has a lower sequence: the lowest it lists or, listing none,
    // the next segment's.
    std::uint64_t first_sequence = 0;
    std::uint64_t bytes = 0;  // its file's size, after a torn tail was cut
    bool damaged = false;
  };
  std::vector<Segment> segments;               // the files that stay, oldest first
  std::map<std::uint64_t, QueuedRecord> live;  // records not done, by sequence
  // Above every sequence and list number found, done ones included.
  std::uint64_t next_sequence = 1;
  std::uint64_t next_list = 1;
  std::uint64_t next_segment = 1;  // above every segment file found
};

// Replays every segment of `folder`, oldest first: lists add their records, done marks take
// them away (a record listed again, or done already, stays as it is). After a damaged entry
// reading goes on at the next intact one. A bad spot that nothing good follows, at the end
// of the newest segment (an entry cut short, or zeros), is what a crash during a write
// leaves: a torn tail, cut off (and synced) with a log line; a newest segment without a whole
// header is removed. Anything else is damage: the segment is named in a log line and marked
// damaged. `reading` is told of each segment before it is read (from 1, of how many).
// Raises std::system_error when the folder cannot be listed, EListaDeEnvio when a segment
// cannot be read or its tail cut.
RecoveredSegments RecoverSegments(FileLayer& files, const std::filesystem::path& folder, TVoradaLogger& log,
                                  const std::function<void(std::size_t segment, std::size_t segments)>& reading);

}  // namespace qit
