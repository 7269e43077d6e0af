#include "common/FileLayer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include <fmt/format.h>

namespace qit {

namespace fs = std::filesystem;

void FileLayer::CreateFolders(const fs::path& folder) {
  fs::path level = fs::absolute(folder).lexically_normal();
  if (!level.has_filename()) level = level.parent_path();  // a trailing separator
  // The levels that are missing, innermost first.
  std::vector<fs::path> missing;
  for (std::error_code error; !fs::exists(level, error); level = level.parent_path()) {
    if (error) throw std::system_error(error, level.string());
    missing.push_back(level);
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    // Another process may make the same folder meanwhile; its name still needs the sync.
    MakeFolder(*it);
    SyncFolder(it->parent_path());
  }
}

std::error_code FileLayer::ReplaceContent(const fs::path& file, std::string_view content) {
  const fs::path folder = file.has_parent_path() ? file.parent_path() : fs::path(".");
  struct stat existing {};
  const bool exists = ::stat(file.c_str(), &existing) == 0;

  // A name of its own in the same folder, so that the rename that puts it in place is
  // atomic; a name taken (by another process, say) is passed over.
  std::unique_ptr<File> temporary;
  for (int attempt = 0; !temporary; ++attempt) {
    const fs::path name =
        folder / fmt::format(".{}.{}.{}.tmp", file.filename().string(), ::getpid(), temporary_names_++);
    try {
      temporary = Open(name, OpenMode::kCreateNew);
    } catch (const std::system_error& error) {
      if (error.code() != std::errc::file_exists || attempt == 99) throw;
    }
  }
  try {
    temporary->WriteAt(0, content);
    if (exists) temporary->SetModeAndOwner(existing.st_mode & 07777, existing.st_uid, existing.st_gid);
    temporary->Sync();
    temporary->Close();
    Rename(temporary->Path(), file);
  } catch (const std::system_error&) {
    try {
      Remove(temporary->Path());
    } catch (const std::system_error&) {
      // Only a stray temporary file is left; the file itself is unchanged.
    }
    throw;
  }
  try {
    SyncFolder(folder);
  } catch (const std::system_error& error) {
    return error.code();
  }
  return {};
}

}  // namespace qit
