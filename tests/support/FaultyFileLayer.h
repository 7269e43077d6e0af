#pragma once

#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <vector>

#include "common/FileLayer.h"
#include "common/PosixFileLayer.h"

namespace qit::testing {

// The real file layer with the faults a test asks for, counting what passes through it:
//   FaultyFileLayer files;
//   options.files = &files;
//   files.FailFileSyncs(EIO);   // the next sync of a file's data fails
// Files syncs (SyncData and Sync) can be held, as on a slow disk, failed, and counted; so
// can folder syncs; writes can fail once a number of bytes has been written, as on a disk
// that fills. Faults apply to the files opened through this layer, and to its folder
// operations.
class FaultyFileLayer final : public FileLayer {
 public:
  explicit FaultyFileLayer(FileLayer& real = PosixFiles()) : real_(real) {}

  // After `skip` more that succeed, `count` syncs fail with `error` (0: every one from then
  // on). A later call replaces the earlier one.
  void FailFileSyncs(int error = EIO, std::uint64_t count = 1, std::uint64_t skip = 0);
  void FailFolderSyncs(int error = EIO, std::uint64_t count = 1, std::uint64_t skip = 0);
  // Writes fail with `error` once `bytes` more have been written; the write that crosses
  // the limit writes what still fits first, as a file system that fills does.
  void FailWritesAfter(std::uint64_t bytes, int error = ENOSPC);
  // No fault from now on (a sync held stays held until released).
  void Heal();
  // Syncs of files wait while held; those that are to fail fail once released.
  void HoldFileSyncs();
  void ReleaseFileSyncs();

  std::uint64_t FileSyncs() const;    // attempted, failed ones included
  std::uint64_t FolderSyncs() const;  // attempted, failed ones included
  std::vector<std::filesystem::path> SyncedFolders() const;  // in order, failed ones included

  std::unique_ptr<File> Open(const std::filesystem::path& file, OpenMode mode, mode_t permissions = 0666) override;
  std::string ReadAll(const std::filesystem::path& file) override;
  void SyncFolder(const std::filesystem::path& folder) override;
  void MakeFolder(const std::filesystem::path& folder) override;
  void Remove(const std::filesystem::path& file) override;
  void Rename(const std::filesystem::path& from, const std::filesystem::path& to) override;
  std::unique_ptr<FolderLock> LockFolder(const std::filesystem::path& folder) override;

 private:
  friend class FaultyFile;

  struct Fault {
    int error = 0;  // 0: none
    std::uint64_t skip = 0;
    std::uint64_t count = 0;  // 0: every one
    // The errno this operation fails with, or 0; counts it.
    int Next();
  };

  // Called by a file before it syncs: waits while syncs are held, then raises when the sync
  // is to fail.
  void BeforeFileSync(const std::filesystem::path& file);
  // How many of `size` bytes a write may pass to the file, and the error that follows them
  // (0: none).
  std::pair<std::uint64_t, int> AllowWrite(std::uint64_t size);

  FileLayer& real_;
  mutable std::mutex mutex_;
  std::condition_variable released_;
  bool held_ = false;
  Fault file_syncs_;
  Fault folder_syncs_;
  bool writes_limited_ = false;
  std::uint64_t write_room_ = 0;
  int write_error_ = 0;
  std::uint64_t file_sync_count_ = 0;
  std::vector<std::filesystem::path> synced_folders_;
};

}  // namespace qit::testing
