#pragma once

#include <filesystem>
#include <functional>

namespace qit {

// Makes a folder's own entries (names created, renamed or removed in it) durable: opens it
// and calls `sync` on it, fsync(2) unless given (tests give one to watch the syncs). Raises
// std::system_error naming the folder.
void SyncDirectory(const std::filesystem::path& folder, const std::function<int(int fd)>& sync = {});

// Creates `folder` and every missing folder above it, syncing the parent of each one it
// creates, so that a power cut cannot take back a new folder's name, and with it the files
// synced inside. A folder that exists is left as it is. Raises std::system_error.
void CreateDirectoriesDurably(const std::filesystem::path& folder, const std::function<int(int fd)>& sync = {});

}  // namespace qit
