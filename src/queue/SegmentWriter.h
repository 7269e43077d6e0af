#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "common/FileLayer.h"
#include "queue/SegmentLedger.h"

namespace qit {

// Appends the send journal's entries to its newest segment and makes them durable. Entries
// are written by the callers' threads; the writer's own thread syncs the segment while
// entries wait for it, each sync covering everything written before it began, so that
// calls that arrive together share one sync (group commit), and calls back those that did
// not wait themselves. A full segment is synced and left for a new one (rollover). Every
// member but the constructor and Stop is called with the journal's lock held, the one given
// to the constructor; the ledger is told of every segment started and every byte written.
class SegmentWriter {
 public:
  // How a wait for the disk ended, for a caller that waits on its own thread.
  struct Outcome {
    bool settled = false;
    std::exception_ptr error;
  };

  // An entry written and waiting for the sync that covers it. Either `outcome` is filled in
  // under the lock (a caller waiting on its own thread) or `then` is called afterwards, off
  // the lock, on the writer's thread.
  struct Waiter {
    std::uint64_t position = 0;  // the entry's logical end
    std::uint64_t segment = 0;   // a list's: its records stop being live there when it fails
    std::uint32_t records = 0;
    Outcome* outcome = nullptr;
    std::function<void(std::exception_ptr error)> then;
  };

  // Starts the writer's thread; nothing is written before Start or Prepare.
  SegmentWriter(std::mutex& mutex, FileLayer& files, std::filesystem::path folder, std::size_t segment_bytes,
                SegmentLedger& ledger);
  ~SegmentWriter();
  SegmentWriter(const SegmentWriter&) = delete;
  SegmentWriter& operator=(const SegmentWriter&) = delete;

  // Starts segment `number` as the one written, after syncing the current one; raises
  // std::system_error when it cannot. Not while the writer's thread syncs.
  void Start(std::unique_lock<std::mutex>& lock, std::uint64_t number, std::uint64_t first_sequence);
  // Starts a new segment when there is none to write to, or the one written is full or
  // could not be cut back after a failed write. Raises EListaDeEnvio when it cannot.
  void Prepare(std::unique_lock<std::mutex>& lock, std::uint64_t first_sequence);
  // Appends one entry (its payload's head and body) to the segment written; returns the
  // logical position of its end. Cuts the file back and raises EListaDeEnvio when the write
  // fails.
  std::uint64_t Write(std::string_view head, std::string_view body, std::uint32_t body_crc);
  // Hands a written entry's waiter to the writer's thread.
  void Queue(Waiter waiter);
  // Queues the waiter and waits until the sync that covers it has ended; raises when it
  // failed.
  void AwaitDurable(std::unique_lock<std::mutex>& lock, Waiter waiter);
  // Waits until every entry written was synced and called back.
  void Drain(std::unique_lock<std::mutex>& lock);
  // Closes the segment written; the next entry starts a new one.
  void CloseFile();
  // Waits for the syncs asked for, and their calls back, and ends the writer's thread. Not
  // under the lock.
  void Stop();

  std::uint64_t Syncs() const { return syncs_.load(std::memory_order_relaxed); }
  std::uint64_t EntriesWritten() const { return entries_.load(std::memory_order_relaxed); }

 private:
  // The writer's thread: syncs while entries wait for it, and calls back those that waited.
  void RunSyncs();
  // Syncs the segment written: the writer's thread does, off the lock, and so does Start
  // before it leaves a segment, under it. Settles the waiters it covered.
  void SyncWritten(std::unique_lock<std::mutex>& lock, bool unlocked);
  // Settles the waiters up to `position`, with the error when the sync failed.
  void Settle(std::uint64_t position, const std::exception_ptr& error);
  // A sync failed: the bytes not yet synced are given up and cut from the segment.
  void DropUnsynced();

  std::mutex& mutex_;
  FileLayer& files_;
  const std::filesystem::path folder_;
  const std::size_t segment_bytes_;
  SegmentLedger& ledger_;

  std::condition_variable synced_cv_;
  std::unique_ptr<File> file_;     // the newest segment's file
  std::uint64_t end_ = 0;          // bytes in the newest segment's file
  std::uint64_t durable_end_ = 0;  // of those, synced
  bool broken_ = false;            // the newest segment could not be cut back: start another
  // Logical byte positions over the life of the writer: written, and synced.
  std::uint64_t appended_ = 0;
  std::uint64_t synced_ = 0;
  bool syncing_ = false;       // the writer's thread syncs, off the lock
  bool calling_back_ = false;  // the writer's thread calls back, off the lock
  bool stopping_ = false;
  std::deque<Waiter> waiters_;  // by position
  std::vector<std::pair<std::function<void(std::exception_ptr)>, std::exception_ptr>> settled_;

  std::atomic<std::uint64_t> syncs_{0};
  std::atomic<std::uint64_t> entries_{0};
  std::jthread syncer_;  // last: started when everything else exists
};

}  // namespace qit
