#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <filesystem>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/FileLayer.h"
#include "common/PosixFileLayer.h"
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
// to segment files in one folder, each entry with its length and a CRC-32. A list is on disk
// (its bytes synced) before AppendList calls back, and so is a done mark before
// MarkDone returns. The journal's own thread makes the syncs: each covers everything written
// before it began, so calls that arrive together share one sync and none holds its thread
// for it unless it asks to wait. A segment is deleted once every record it lists is done and
// every older segment is gone, so that no done mark is lost before the record it marks.
//
// On disk: segment files named by a 20-digit number, in the order written; each begins with
// a 16-byte header (magic, format version, CRC-32 of both) followed by entries: a 4-byte
// length, a 4-byte CRC-32 of length and payload, and the payload (a list with its company
// code, list number, first sequence and records, or the sequences of records done).
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
  // Raises EListaDeEnvio when the marks could not be written.
  void Close();

  std::uint64_t DiskBytes() const { return disk_bytes_.load(std::memory_order_relaxed); }
  std::uint64_t Syncs() const { return syncs_.load(std::memory_order_relaxed); }
  std::uint64_t EntriesWritten() const { return entries_.load(std::memory_order_relaxed); }
  std::size_t Segments() const;
  const std::filesystem::path& Folder() const { return folder_; }

 private:
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

  // How a wait for the disk ended, for a caller that waits on its own thread.
  struct Outcome {
    bool settled = false;
    std::exception_ptr error;
  };

  // An entry written and waiting for the sync that covers it. Either `outcome` is filled in
  // under the lock (a caller waiting on its own thread) or `then` is called afterwards, off
  // the lock.
  struct Waiter {
    std::uint64_t position = 0;  // the entry's logical end
    std::uint64_t segment = 0;   // a list's: its records stop being live there when it fails
    std::uint32_t records = 0;
    Outcome* outcome = nullptr;
    std::function<void(std::exception_ptr error)> then;
  };

  std::filesystem::path SegmentPath(std::uint64_t number) const;
  // Starts a new segment as the one written, after syncing the current one; raises
  // std::system_error when it cannot. Under the lock, while the journal's thread does not
  // sync.
  void StartSegment(std::unique_lock<std::mutex>& lock, std::uint64_t number, std::uint64_t first_sequence);
  // Starts a new segment when there is none to write to, or the one written is full or
  // could not be cut back after a failed write. Under the lock.
  void PrepareSegment(std::unique_lock<std::mutex>& lock);
  // Appends one entry (head + body) to the segment written; returns the logical position of
  // its end. Cuts the file back and raises when the write fails. Under the lock.
  std::uint64_t WriteEntry(std::unique_lock<std::mutex>& lock, std::string_view head, std::string_view body,
                           std::uint32_t body_crc);
  // Writes a list entry of the records (their body encoded before) and numbers them; returns
  // the entry's waiter, not yet queued. Under the lock.
  Waiter WriteList(std::unique_lock<std::mutex>& lock, std::vector<QueuedRecord>& records, std::string_view body_bytes,
                   std::uint32_t body_crc, const Reserve& reserve);
  // Queues the waiter for the journal's thread and waits until the sync that covers it has
  // ended; raises when it failed. Under the lock.
  void AwaitDurable(std::unique_lock<std::mutex>& lock, Waiter waiter);
  // The journal's thread: syncs while entries wait for it, and calls back those that waited.
  void RunSyncs();
  // Syncs the segment written: the journal's thread does, off the lock, and so does
  // StartSegment before it leaves a segment, under it. Settles the waiters it covered.
  void SyncWritten(std::unique_lock<std::mutex>& lock, bool unlocked);
  // Settles the waiters up to `position`, with the error when the sync failed.
  void Settle(std::uint64_t position, const std::exception_ptr& error);
  // A sync failed: the bytes not yet synced are given up and cut from the segment. Under the
  // lock.
  void DropUnsynced();
  // Cuts a torn tail off a segment at start-up (removes the file when not even its header
  // is whole). Raises EListaDeEnvio when it cannot.
  void CutTornTail(const std::filesystem::path& file, std::uint64_t good_end) const;
  Segment* SegmentOf(std::uint64_t sequence);
  void DeleteDoneSegments();
  // Removes a segment's file; false (and a log line) when it cannot.
  bool RemoveSegment(std::uint64_t number);
  // Moves a damaged segment whose records are done to the folder "corrompidos"; false (and a
  // log line, the first time) when it cannot be moved. Under the lock.
  bool MoveAside(Segment& segment);
  void SyncFolder() const;
  // Writes the marks kept (and `more`) as one entry and waits for them. Under the lock.
  void WriteMarks(std::unique_lock<std::mutex>& lock, std::span<const std::uint64_t> more);

  const std::filesystem::path folder_;
  TVoradaLogger& log_;
  const SendJournalOptions options_;

  mutable std::mutex mutex_;
  std::condition_variable synced_cv_;
  std::deque<Segment> segments_;  // oldest first; the back one is written
  FileLayer& files_;
  std::unique_ptr<FolderLock> folder_lock_;  // held while the journal exists
  std::unique_ptr<File> file_;               // the back segment's file
  std::uint64_t end_ = 0;         // bytes in the back segment's file
  std::uint64_t durable_end_ = 0;  // of those, synced
  bool broken_ = false;            // the back segment could not be cut back: start another
  // Logical byte positions over the life of the journal: written, and synced.
  std::uint64_t appended_ = 0;
  std::uint64_t synced_ = 0;
  bool syncing_ = false;       // the journal's thread syncs, off the lock
  bool calling_back_ = false;  // the journal's thread calls back, off the lock
  bool closed_ = false;        // Close was called: no list is taken
  bool stopping_ = false;
  std::deque<Waiter> waiters_;  // by position
  std::vector<std::pair<std::function<void(std::exception_ptr)>, std::exception_ptr>> settled_;
  std::uint64_t next_sequence_ = 0;  // above every sequence reserved so far
  std::vector<std::uint64_t> pending_marks_;

  std::atomic<std::uint64_t> disk_bytes_{0};
  std::atomic<std::uint64_t> syncs_{0};
  std::atomic<std::uint64_t> entries_{0};
  std::jthread syncer_;  // last: started when everything else exists
};

}  // namespace qit
