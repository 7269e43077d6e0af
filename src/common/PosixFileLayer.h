#pragma once

#include "common/FileLayer.h"

namespace qit {

// The file layer on the system's own calls.
class PosixFileLayer final : public FileLayer {
 public:
  std::unique_ptr<File> Open(const std::filesystem::path& file, OpenMode mode, mode_t permissions = 0666) override;
  std::string ReadAll(const std::filesystem::path& file) override;
  void SyncFolder(const std::filesystem::path& folder) override;
  void MakeFolder(const std::filesystem::path& folder) override;
  void Remove(const std::filesystem::path& file) override;
  void Rename(const std::filesystem::path& from, const std::filesystem::path& to) override;
  std::unique_ptr<FolderLock> LockFolder(const std::filesystem::path& folder) override;
};

// The real files, for whoever is given no other layer. It holds no state that a caller can
// see, so one for the whole process will do.
FileLayer& PosixFiles();

}  // namespace qit
