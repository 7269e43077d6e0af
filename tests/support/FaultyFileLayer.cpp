#include "FaultyFileLayer.h"

#include <system_error>
#include <utility>

namespace qit::testing {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void ThrowFor(int error, const fs::path& path) {
  throw std::system_error(error, std::system_category(), path.string());
}

}  // namespace

// A real file whose writes and syncs pass the layer's faults first.
class FaultyFile final : public File {
 public:
  FaultyFile(FaultyFileLayer& layer, std::unique_ptr<File> real)
      : File(real->Path()), layer_(layer), real_(std::move(real)) {}

  void WriteAt(std::uint64_t offset, std::string_view bytes) override {
    const auto [allowed, error] = layer_.AllowWrite(bytes.size());
    if (allowed > 0) real_->WriteAt(offset, bytes.substr(0, allowed));
    if (error != 0) ThrowFor(error, Path());
  }
  void Truncate(std::uint64_t size) override { real_->Truncate(size); }
  void SyncData() override {
    layer_.BeforeFileSync(Path());
    real_->SyncData();
  }
  void Sync() override {
    layer_.BeforeFileSync(Path());
    real_->Sync();
  }
  void SetModeAndOwner(mode_t mode, uid_t owner, gid_t group) override { real_->SetModeAndOwner(mode, owner, group); }
  void Close() override { real_->Close(); }

 private:
  FaultyFileLayer& layer_;
  std::unique_ptr<File> real_;
};

int FaultyFileLayer::Fault::Next() {
  if (error == 0) return 0;
  if (skip > 0) {
    --skip;
    return 0;
  }
  const int failure = error;
  if (count > 0 && --count == 0) error = 0;
  return failure;
}

void FaultyFileLayer::FailFileSyncs(int error, std::uint64_t count, std::uint64_t skip) {
  const std::lock_guard lock(mutex_);
  file_syncs_ = {error, skip, count};
}

void FaultyFileLayer::FailFolderSyncs(int error, std::uint64_t count, std::uint64_t skip) {
  const std::lock_guard lock(mutex_);
  folder_syncs_ = {error, skip, count};
}

void FaultyFileLayer::FailWritesAfter(std::uint64_t bytes, int error) {
  const std::lock_guard lock(mutex_);
  writes_limited_ = true;
  write_room_ = bytes;
  write_error_ = error;
}

void FaultyFileLayer::Heal() {
  const std::lock_guard lock(mutex_);
  file_syncs_ = {};
  folder_syncs_ = {};
  writes_limited_ = false;
}

void FaultyFileLayer::HoldFileSyncs() {
  const std::lock_guard lock(mutex_);
  held_ = true;
}

void FaultyFileLayer::ReleaseFileSyncs() {
  {
    const std::lock_guard lock(mutex_);
    held_ = false;
  }
  released_.notify_all();
}

std::uint64_t FaultyFileLayer::FileSyncs() const {
  const std::lock_guard lock(mutex_);
  return file_sync_count_;
}

std::uint64_t FaultyFileLayer::FolderSyncs() const {
  const std::lock_guard lock(mutex_);
  return synced_folders_.size();
}

std::vector<fs::path> FaultyFileLayer::SyncedFolders() const {
  const std::lock_guard lock(mutex_);
  return synced_folders_;
}

void FaultyFileLayer::BeforeFileSync(const fs::path& file) {
  std::unique_lock lock(mutex_);
  released_.wait(lock, [this] { return !held_; });
  ++file_sync_count_;
  if (const int error = file_syncs_.Next(); error != 0) ThrowFor(error, file);
}

std::pair<std::uint64_t, int> FaultyFileLayer::AllowWrite(std::uint64_t size) {
  const std::lock_guard lock(mutex_);
  if (!writes_limited_ || size <= write_room_) {
    if (writes_limited_) write_room_ -= size;
    return {size, 0};
  }
  return {std::exchange(write_room_, 0), write_error_};
}

std::unique_ptr<File> FaultyFileLayer::Open(const fs::path& file, OpenMode mode, mode_t permissions) {
  return std::make_unique<FaultyFile>(*this, real_.Open(file, mode, permissions));
}

std::string FaultyFileLayer::ReadAll(const fs::path& file) { return real_.ReadAll(file); }

void FaultyFileLayer::SyncFolder(const fs::path& folder) {
  {
    const std::lock_guard lock(mutex_);
    synced_folders_.push_back(folder);
    if (const int error = folder_syncs_.Next(); error != 0) ThrowFor(error, folder);
  }
  real_.SyncFolder(folder);
}

void FaultyFileLayer::MakeFolder(const fs::path& folder) { real_.MakeFolder(folder); }
void FaultyFileLayer::Remove(const fs::path& file) { real_.Remove(file); }
void FaultyFileLayer::Rename(const fs::path& from, const fs::path& to) { real_.Rename(from, to); }
std::unique_ptr<FolderLock> FaultyFileLayer::LockFolder(const fs::path& folder) { return real_.LockFolder(folder); }

}  // namespace qit::testing
