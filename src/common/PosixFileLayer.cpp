#include "common/PosixFileLayer.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>

namespace qit {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void ThrowFor(int error, const fs::path& path) {
  throw std::system_error(error, std::system_category(), path.string());
}

// A descriptor closed when it goes out of scope.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;

  int Get() const { return fd_; }
  // Closes the descriptor now; the close's result.
  int CloseNow() { return ::close(std::exchange(fd_, -1)); }
  // Hands the descriptor over, open.
  int Take() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

class PosixFile final : public File {
 public:
  PosixFile(fs::path path, int fd) : File(std::move(path)), fd_(fd) {}

  void WriteAt(std::uint64_t offset, std::string_view bytes) override {
    while (!bytes.empty()) {
      const ssize_t written = ::pwrite(Fd(), bytes.data(), bytes.size(), static_cast<off_t>(offset));
      if (written < 0 && errno == EINTR) continue;
      if (written < 0) ThrowFor(errno, Path());
      if (written == 0) ThrowFor(ENOSPC, Path());
      bytes.remove_prefix(static_cast<std::size_t>(written));
      offset += static_cast<std::uint64_t>(written);
    }
  }

  void Truncate(std::uint64_t size) override {
    if (::ftruncate(Fd(), static_cast<off_t>(size)) != 0) ThrowFor(errno, Path());
  }

  void SyncData() override {
    if (::fdatasync(Fd()) != 0) ThrowFor(errno, Path());
  }

  void Sync() override {
    if (::fsync(Fd()) != 0) ThrowFor(errno, Path());
  }

  void SetModeAndOwner(mode_t mode, uid_t owner, gid_t group) override {
    if (::fchmod(Fd(), mode) != 0) ThrowFor(errno, Path());
    // Where this process may not give the file away, it stays its own: it can still write
    // the file next time.
    [[maybe_unused]] const bool owner_kept = ::fchown(Fd(), owner, group) == 0;
  }

  void Close() override {
    if (fd_.Get() >= 0 && fd_.CloseNow() != 0) ThrowFor(errno, Path());
  }

 private:
  int Fd() const {
    if (fd_.Get() < 0) ThrowFor(EBADF, Path());
    return fd_.Get();
  }

  Descriptor fd_;
};

class PosixFolderLock final : public FolderLock {
 public:
  explicit PosixFolderLock(int fd) : fd_(fd) {}

 private:
  Descriptor fd_;  // the lock lasts as long as the descriptor is open
};

}  // namespace

std::unique_ptr<File> PosixFileLayer::Open(const fs::path& file, OpenMode mode, mode_t permissions) {
  const int flags = mode == OpenMode::kCreateNew ? O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC : O_WRONLY | O_CLOEXEC;
  const int fd = ::open(file.c_str(), flags, permissions);
  if (fd < 0) ThrowFor(errno, file);
  return std::make_unique<PosixFile>(file, fd);
}

std::string PosixFileLayer::ReadAll(const fs::path& file) {
  const Descriptor fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.Get() < 0) ThrowFor(errno, file);
  struct stat status {};
  if (::fstat(fd.Get(), &status) != 0) ThrowFor(errno, file);
  std::string data;
  data.resize(static_cast<std::size_t>(status.st_size));
  std::size_t size = 0;
  for (;;) {
    // A file that grew since fstat is read to its end all the same.
    if (size == data.size()) data.resize(data.size() + BUFSIZ);
    const ssize_t got = ::read(fd.Get(), data.data() + size, data.size() - size);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) ThrowFor(errno, file);
    if (got == 0) break;
    size += static_cast<std::size_t>(got);
  }
  data.resize(size);
  return data;
}

void PosixFileLayer::SyncFolder(const fs::path& folder) {
  const Descriptor fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.Get() < 0 || ::fsync(fd.Get()) != 0) ThrowFor(errno, folder);
}

void PosixFileLayer::MakeFolder(const fs::path& folder) {
  if (::mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST) ThrowFor(errno, folder);
}

void PosixFileLayer::Remove(const fs::path& file) {
  if (::unlink(file.c_str()) != 0 && errno != ENOENT) ThrowFor(errno, file);
}

void PosixFileLayer::Rename(const fs::path& from, const fs::path& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) ThrowFor(errno, from);
}

std::unique_ptr<FolderLock> PosixFileLayer::LockFolder(const fs::path& folder) {
  Descriptor fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.Get() < 0) ThrowFor(errno, folder);
  if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0)
    throw FolderInUse(errno, std::system_category(), folder.string());
  return std::make_unique<PosixFolderLock>(fd.Take());
}

FileLayer& PosixFiles() {
  static PosixFileLayer files;
  return files;
}

}  // namespace qit
