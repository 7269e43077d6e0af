#include "queue/SegmentWriter.h"

#include <algorithm>
#include <string>
#include <system_error>

#include <fmt/format.h>

#include "queue/JournalFormat.h"
#include "queue/SendQueue.h"

namespace qit {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void ThrowWriteFailed(int error) {
  throw EListaDeEnvio(fmt::format(
      "Falha ao gravar na fila de envio em disco ({}): a lista não foi incluída; envie a lista novamente",
      std::system_category().message(error)));
}

}  // namespace

SegmentWriter::SegmentWriter(std::mutex& mutex, FileLayer& files, fs::path folder, std::size_t segment_bytes,
                             SegmentLedger& ledger)
    : mutex_(mutex),
      files_(files),
      folder_(std::move(folder)),
      segment_bytes_(segment_bytes),
      ledger_(ledger),
      syncer_([this] { RunSyncs(); }) {}

SegmentWriter::~SegmentWriter() { Stop(); }

void SegmentWriter::Stop() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  synced_cv_.notify_all();
  if (syncer_.joinable()) syncer_.join();
}

void SegmentWriter::Start(std::unique_lock<std::mutex>& lock, std::uint64_t number, std::uint64_t first_sequence) {
  if (file_) {
    // Everything written to the old segment is synced before it is left, so the syncs that
    // follow concern the new file only.
    if (synced_ < appended_) SyncWritten(lock, false);
    file_.reset();
  }

  const fs::path path = journal::SegmentPath(folder_, number);
  std::unique_ptr<File> file = files_.Open(path, FileLayer::OpenMode::kCreateNew, 0640);
  const std::string header = journal::SegmentHeader();
  try {
    try {
      file->WriteAt(0, header);
      file->SyncData();
    } catch (const std::system_error&) {
      syncs_.fetch_add(1, std::memory_order_relaxed);
      throw;
    }
    syncs_.fetch_add(1, std::memory_order_relaxed);
    files_.SyncFolder(folder_);
  } catch (const std::system_error& error) {
    file.reset();
    try {
      files_.Remove(path);
    } catch (const std::system_error&) {
      // The segment left holds no entry: the next start reads it as a torn tail.
    }
    throw std::system_error(error.code(), path.string());
  }
  ledger_.Add(SegmentLedger::Segment{number, first_sequence, 0, header.size()});
  file_ = std::move(file);
  end_ = durable_end_ = header.size();
  broken_ = false;
}

void SegmentWriter::Prepare(std::unique_lock<std::mutex>& lock, std::uint64_t first_sequence) {
  while (!file_ || broken_ || (end_ >= segment_bytes_ && end_ != journal::kHeaderBytes)) {
    // A segment is left only while the writer's thread does not sync it; whoever waited
    // for that looks again, as another caller may have started the next segment meanwhile.
    if (syncing_) {
      synced_cv_.wait(lock, [this] { return !syncing_; });
      continue;
    }
    try {
      Start(lock, ledger_.NextNumber(), first_sequence);
    } catch (const std::system_error& error) {
      ThrowWriteFailed(error.code().value());
    }
  }
}

std::uint64_t SegmentWriter::Write(std::string_view head, std::string_view body, std::uint32_t body_crc) {
  const std::string framed = journal::FramedHead(head, body.size(), body_crc);
  try {
    file_->WriteAt(end_, framed);
    file_->WriteAt(end_ + framed.size(), body);
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
  const std::uint64_t written = framed.size() + body.size();
  end_ += written;
  ledger_.ResizeNewest(end_);
  appended_ += written;
  entries_.fetch_add(1, std::memory_order_relaxed);
  return appended_;
}

void SegmentWriter::Queue(Waiter waiter) {
  waiters_.push_back(std::move(waiter));
  synced_cv_.notify_all();
}

void SegmentWriter::AwaitDurable(std::unique_lock<std::mutex>& lock, Waiter waiter) {
  Outcome outcome;
  waiter.outcome = &outcome;
  Queue(std::move(waiter));
  synced_cv_.wait(lock, [&outcome] { return outcome.settled; });
  if (outcome.error) std::rethrow_exception(outcome.error);
}

void SegmentWriter::Drain(std::unique_lock<std::mutex>& lock) {
  synced_cv_.wait(lock, [this] { return !syncing_ && !calling_back_ && waiters_.empty() && settled_.empty(); });
}

void SegmentWriter::CloseFile() { file_.reset(); }

void SegmentWriter::RunSyncs() {
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

void SegmentWriter::SyncWritten(std::unique_lock<std::mutex>& lock, bool unlocked) {
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
                          std::system_category().message(error)))));
  }
  synced_cv_.notify_all();
}

void SegmentWriter::Settle(std::uint64_t position, const std::exception_ptr& error) {
  while (!waiters_.empty() && waiters_.front().position <= position) {
    Waiter waiter = std::move(waiters_.front());
    waiters_.pop_front();
    if (error && waiter.records > 0) ledger_.Forget(waiter.segment, waiter.records);
    if (waiter.outcome != nullptr) {
      waiter.outcome->settled = true;
      waiter.outcome->error = error;
    } else {
      settled_.emplace_back(std::move(waiter.then), error);
    }
  }
}

void SegmentWriter::DropUnsynced() {
  if (!file_ || end_ == durable_end_) return;
  try {
    file_->Truncate(durable_end_);
  } catch (const std::system_error&) {
    broken_ = true;
    return;
  }
  end_ = durable_end_;
  ledger_.ResizeNewest(end_);
}

}  // namespace qit
