// Folders made durably: the parent of every folder created is synced, and nothing else.
#include "common/DurableFolder.h"

#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <system_error>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace qit {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

class DurableFolderTest : public ::testing::Test {
 protected:
  DurableFolderTest() {
    std::string pattern = (fs::temp_directory_path() / "qit_folder_tests_XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    root_ = pattern;
  }
  ~DurableFolderTest() override { fs::remove_all(root_); }

  // The sync to give the helper: records which folder it was called on.
  std::function<int(int)> Recorder() {
    return [this](int fd) {
      synced_.push_back(fs::read_symlink("/proc/self/fd/" + std::to_string(fd)));
      return ::fsync(fd);
    };
  }

  fs::path root_;
  std::vector<fs::path> synced_;
};

TEST_F(DurableFolderTest, TheParentOfEveryFolderCreatedIsSyncedOutermostFirst) {
  CreateDirectoriesDurably(root_ / "a" / "b" / "c", Recorder());
  EXPECT_TRUE(fs::is_directory(root_ / "a" / "b" / "c"));
  EXPECT_THAT(synced_, ElementsAre(root_, root_ / "a", root_ / "a" / "b"));

  synced_.clear();
  CreateDirectoriesDurably(root_ / "a" / "b" / "d" / "", Recorder());
  EXPECT_THAT(synced_, ElementsAre(root_ / "a" / "b")) << "only the level created, trailing separator or not";

  synced_.clear();
  CreateDirectoriesDurably(root_ / "a", Recorder());
  EXPECT_THAT(synced_, IsEmpty()) << "a folder that exists is left alone";
}

TEST_F(DurableFolderTest, AFailureRaisesNamingTheFolder) {
  // A file where a folder should be made.
  { std::ofstream(root_ / "file"); }
  try {
    CreateDirectoriesDurably(root_ / "file" / "sub");
    ADD_FAILURE() << "no error";
  } catch (const std::system_error& error) {
    EXPECT_THAT(error.what(), ::testing::HasSubstr("file"));
  }
  // A sync that fails is an error too: the folder's name may not be on the disk.
  const auto failing = [](int) {
    errno = EIO;
    return -1;
  };
  EXPECT_THROW(CreateDirectoriesDurably(root_ / "x", failing), std::system_error);
}

}  // namespace
}  // namespace qit
