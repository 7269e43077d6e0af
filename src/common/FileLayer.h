#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>

namespace qit {

// An open file of a FileLayer; closed when dropped. Every failure raises std::system_error
// naming the file.
class File {
 public:
  virtual ~File() = default;

  // Writes every byte at `offset`, however many calls the system needs (an interrupted call
  // is made again). A write the file takes no byte of raises ENOSPC. When it raises, part
  // of the bytes may have reached the file.
  virtual void WriteAt(std::uint64_t offset, std::string_view bytes) = 0;
  // Cuts the file (or extends it with zeros) to `size` bytes.
  virtual void Truncate(std::uint64_t size) = 0;
  // Makes the file's data durable, with the metadata needed to read it back (its size):
  // fdatasync(2).
  virtual void SyncData() = 0;
  // Makes the file's data and all its metadata (permissions, owner) durable: fsync(2).
  virtual void Sync() = 0;
  // Gives the file these permission bits and, where this process may, this owner (a file
  // this process may not give away stays its own).
  virtual void SetModeAndOwner(mode_t mode, uid_t owner, gid_t group) = 0;
  // Closes the file now, raising when the close reports an error; dropping the file closes
  // it too, silently.
  virtual void Close() = 0;

  const std::filesystem::path& Path() const { return path_; }

 protected:
  explicit File(std::filesystem::path path) : path_(std::move(path)) {}

 private:
  std::filesystem::path path_;
};

// A folder taken by this process alone while the lock exists.
class FolderLock {
 public:
  virtual ~FolderLock() = default;
};

// Raised by LockFolder when another holder has the folder.
class FolderInUse : public std::system_error {
 public:
  using std::system_error::system_error;
};

// The operations on files and folders that must reach the disk in a known state: writing,
// syncing, creating, removing and replacing. Queries that change nothing (does a file exist,
// what does a folder list) stay with std::filesystem. Every failure raises std::system_error
// naming the path. Tests put a double with faults in place of the real layer.
class FileLayer {
 public:
  virtual ~FileLayer() = default;

  enum class OpenMode : std::uint8_t {
    kCreateNew,      // for writing; raises EEXIST when the name is taken
    kWriteExisting,  // for writing; the file must exist
  };
  // Opens a file; a new one gets `permissions` (less the process's umask).
  virtual std::unique_ptr<File> Open(const std::filesystem::path& file, OpenMode mode, mode_t permissions = 0666) = 0;
  // The whole content of a file.
  virtual std::string ReadAll(const std::filesystem::path& file) = 0;
  // Makes a folder's own entries (names created, renamed or removed in it) durable: fsync(2)
  // of the folder.
  virtual void SyncFolder(const std::filesystem::path& folder) = 0;
  // Creates one folder; one that exists already is fine.
  virtual void MakeFolder(const std::filesystem::path& folder) = 0;
  // Removes a file; one that does not exist is fine.
  virtual void Remove(const std::filesystem::path& file) = 0;
  // Renames a file, replacing what `to` names.
  virtual void Rename(const std::filesystem::path& from, const std::filesystem::path& to) = 0;
  // Takes a folder for this process alone (flock(2) on the folder, held until the lock is
  // dropped). Raises FolderInUse when another holder has it.
  virtual std::unique_ptr<FolderLock> LockFolder(const std::filesystem::path& folder) = 0;

  // Creates `folder` and every missing folder above it, syncing the parent of each one it
  // creates, so that a power cut cannot take back a new folder's name, and with it the files
  // synced inside. A folder that exists is left as it is.
  void CreateFolders(const std::filesystem::path& folder);

  // Replaces a file's whole content so that a crash leaves the old or the new content, never
  // a mix: the content goes to a temporary file in the same folder, which takes the old
  // file's permission bits (and owner, where this process may), is synced and renamed over
  // the file. Raises when the content could not be put in place; the file is then as it
  // was, and no temporary file is left. Once it is in place, the folder is synced, so that
  // the rename lasts through a crash: a failure of that sync alone is returned (the new
  // content is there, but a crash may still bring back the old one).
  [[nodiscard]] std::error_code ReplaceContent(const std::filesystem::path& file, std::string_view content);

 private:
  std::atomic<unsigned> temporary_names_{0};
};

}  // namespace qit
