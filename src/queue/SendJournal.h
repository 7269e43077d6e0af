#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <utility>
#include <vector>

#include "common/FileLayer.h"
#include "common/Gate.h"
#include "common/PosixFileLayer.h"
#include "queue/SegmentLedger.h"
#include "queue/SegmentWriter.h"
#include "queue/SendQueue.h"

namespace qit {

class TVoradaLogger;

// How a journal writes its segments.
struct SendJournalOptions {
  // A segment takes no further entry once it holds this many bytes.
  std::size_t segment_bytes = std::size_t{64} << 20;
  // Where the segments are written, synced, read and removed: the real files unless
  // replaced (tests give a layer that watches or fails the syncs and writes). Not owned; it
  // outlives the journal.
  FileLayer* files = &PosixFiles();
  // Called by Open before it reads each segment (from 1, of `segments`), so that a long
  // recovery can tell it is alive. Optional.
  std::function<void(std::size_t segment, std::size_t segments)> reading;
};

// The send queue's record on disk: every list accepted and every record done with, appended
// to segment files in one folder. A list is on disk (its bytes synced) before AppendList
// calls back, and so is a done mark before MarkDone returns. The writer's own thread makes
// the syncs: each covers everything written before it began, so calls that arrive together
// share one sync and none holds its thread for it unless it asks to wait. A segment is
// deleted once every record it lists is done and every older segment is gone, so that no
// done mark is lost before the record it marks.
//
// The pieces: the bytes of segments and entries (JournalFormat.h), the appends, syncs and
// rollover (SegmentWriter), the segments kept and their records not done (SegmentLedger),
// and the replay at start-up (JournalRecovery.h).
class SendJournal {
 public:

  // What the records on disk say at start-up.
  struct Recovered {
    std::vector<QueuedRecord> records;  // not done, in their order, with their numbers
    std::size_t lists = 0;              // lists they belong to
    // Above every sequence and list number found, done ones included.
    std::uint64_t next_sequence = 1;
    std::uint64_t next_list = 1;
  };

  // Creates the folder when it is missing. Nothing is read before Open.
  SendJournal(std::filesystem::path folder, TVoradaLogger& log, SendJournalOptions options = {});
  // Waits for the syncs asked for, and their calls back.
  ~SendJournal();
  SendJournal(const SendJournal&) = delete;
  SendJournal& operator=(const SendJournal&) = delete;

  // Takes the folder for this process alone (another process that has it open makes Open
  // raise), reads every segment and returns the records not done. The segments stay where
  // they are, each going once its records are done, and a new one is started: no room beyond
  // its header is needed. A torn tail (what a crash during a write leaves at the end of the
  // newest segment: an entry cut short, or zeros) is cut off with a log line. After a damaged
  // entry, reading goes on at the next intact one. A damaged segment, or one whose header is
  // not ours, is named in a log line and moved to the folder "corrompidos" once its records
  // are done; until it can be moved it stays. Raises EListaDeEnvio when the folder cannot be
  // read or written, or the new segment cannot be started.
  Recovered Open();

  // Numbers for a list: called once, under the journal's lock, with the record count; gives
  // the first sequence and the list number.
  using Reserve = std::function<std::pair<std::uint64_t, std::uint64_t>(std::size_t count)>;  // first sequence, list
  // What AppendList calls back with: the records, numbered, and nullptr once they are on
  // disk, or the error that kept them out (the entry is then cut from the file, and the
  // numbers reserved are not used again). Called once, on the journal's thread (at once, on
  // the caller's, for an empty list); it must not raise and must not wait for the journal.
  using Durable = std::function<void(std::vector<QueuedRecord> records, std::exception_ptr error)>;
  // Writes a list of records of one company and returns without waiting for the sync:
  // `durable` is called when the sync that covers the list has ended. A failed write (or a
  // journal closed) raises EListaDeEnvio here, and `durable` is not called.
  void AppendList(std::vector<QueuedRecord> records, const Reserve& reserve, Durable durable);

  // Marks records done and waits until the mark is on disk; segments whose records are all
  // done go. When the mark cannot be written, it is kept and written with the next mark (or
  // by Close), and EListaDeEnvio is raised.
  void MarkDone(std::span<const std::uint64_t> sequences);
  // Keeps marks to be written with the next MarkDone (or by Close), without waiting: for a
  // list that was written but could not be queued after all.
  void MarkDoneLater(std::span<const std::uint64_t> sequences);

  // Takes no further list (AppendList raises EListaDeEnvio), waits until every list written
  // was synced and called back, writes the marks that are still kept and closes the segment.
  // Raises EListaDeEnvio when the marks could not be written. When the disk holds a list's
  // sync past the deadline, returns false at the deadline and leaves the journal as it is:
  // the calls back still to come need it, and what they reach, whole. A later Close waits
  // again.
  bool Close(std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max());

  std::uint64_t DiskBytes() const { return ledger_.Bytes(); }
  std::uint64_t Syncs() const { return writer_.Syncs(); }
  std::uint64_t EntriesWritten() const { return writer_.EntriesWritten(); }
  std::size_t Segments() const;
  const std::filesystem::path& Folder() const { return folder_; }

 private:
  // Writes the marks kept (and `more`) as one entry and waits for them. Under the lock.
  void WriteMarks(std::unique_lock<std::mutex>& lock, std::span<const std::uint64_t> more);

  const std::filesystem::path folder_;
  TVoradaLogger& log_;
  const SendJournalOptions options_;
  FileLayer& files_;

  mutable std::mutex mutex_;  // the journal's lock: over the ledger, the writer and what follows
  std::unique_ptr<FolderLock> folder_lock_;  // held while the journal exists
  SegmentLedger ledger_;
  std::uint64_t next_sequence_ = 0;  // above every sequence reserved so far
  std::vector<std::uint64_t> pending_marks_;
  // Every list from the moment AppendList takes it until its call back has ended; closed by
  // Close, after which no list is taken.
  Gate lists_;
  SegmentWriter writer_;  // last: its thread starts when everything else exists
};

}  // namespace qit
