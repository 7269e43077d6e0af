#include "common/DurableFolder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <vector>

namespace qit {

namespace fs = std::filesystem;

void SyncDirectory(const fs::path& folder, const std::function<int(int fd)>& sync) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) throw std::system_error(errno, std::system_category(), folder.string());
  const int result = sync ? sync(fd) : ::fsync(fd);
  const int error = errno;
  ::close(fd);
  if (result != 0) throw std::system_error(error, std::system_category(), folder.string());
}

void CreateDirectoriesDurably(const fs::path& folder, const std::function<int(int fd)>& sync) {
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
    if (::mkdir(it->c_str(), 0777) != 0 && errno != EEXIST)
      throw std::system_error(errno, std::system_category(), it->string());
    SyncDirectory(it->parent_path(), sync);
  }
}

}  // namespace qit
