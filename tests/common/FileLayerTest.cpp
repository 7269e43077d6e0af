// The file layer on real files: folders made durably (the parent of every folder created is
// synced, and nothing else), a file's content replaced whole or not at all, and errors that
// name the path.
#include "common/FileLayer.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "FaultyFileLayer.h"
#include "common/PosixFileLayer.h"

namespace qit {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using testing::FaultyFileLayer;

class FileLayerTest : public ::testing::Test {
 protected:
  FileLayerTest() {
    std::string pattern = (fs::temp_directory_path() / "qit_folder_tests_XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    root_ = pattern;
  }
  ~FileLayerTest() override { fs::remove_all(root_); }

  std::vector<std::string> Names(const fs::path& folder) const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  static std::string Content(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  fs::path root_;
  FaultyFileLayer files_;
};

TEST_F(FileLayerTest, TheParentOfEveryFolderCreatedIsSyncedOutermostFirst) {
  files_.CreateFolders(root_ / "a" / "b" / "c");
  EXPECT_TRUE(fs::is_directory(root_ / "a" / "b" / "c"));
  EXPECT_THAT(files_.SyncedFolders(), ElementsAre(root_, root_ / "a", root_ / "a" / "b"));

  FaultyFileLayer again;
  again.CreateFolders(root_ / "a" / "b" / "d" / "");
  EXPECT_THAT(again.SyncedFolders(), ElementsAre(root_ / "a" / "b")) << "only the level created, trailing separator or not";

  FaultyFileLayer existing;
  existing.CreateFolders(root_ / "a");
  EXPECT_THAT(existing.SyncedFolders(), IsEmpty()) << "a folder that exists is left alone";
}

TEST_F(FileLayerTest, AFailureRaisesNamingThePath) {
  // A file where a folder should be made.
  { std::ofstream(root_ / "file"); }
  try {
    files_.CreateFolders(root_ / "file" / "sub");
    ADD_FAILURE() << "no error";
  } catch (const std::system_error& error) {
    EXPECT_THAT(error.what(), HasSubstr("file"));
  }
  // A sync that fails is an error too: the folder's name may not be on the disk.
  files_.FailFolderSyncs(EIO);
  EXPECT_THROW(files_.CreateFolders(root_ / "x"), std::system_error);

  try {
    PosixFiles().Open(root_ / "missing", FileLayer::OpenMode::kWriteExisting);
    ADD_FAILURE() << "no error";
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code().value(), ENOENT);
    EXPECT_THAT(error.what(), HasSubstr((root_ / "missing").string()));
  }
  EXPECT_THROW(PosixFiles().Open(root_ / "file", FileLayer::OpenMode::kCreateNew), std::system_error)
      << "a new file never takes the name of one that exists";
}

// A second lock on a folder is refused while the first is held, and taken once it is gone.
TEST_F(FileLayerTest, AFolderIsLockedByOneHolderAtATime) {
  auto first = PosixFiles().LockFolder(root_);
  EXPECT_THROW(PosixFiles().LockFolder(root_), FolderInUse);
  first.reset();
  EXPECT_NO_THROW(PosixFiles().LockFolder(root_));
}

// The content is replaced whole or not at all: a write or a sync that fails leaves the old
// file and no temporary one; a folder sync that fails leaves the new content in place and
// says so.
TEST_F(FileLayerTest, ReplacingContentIsAllOrNothing) {
  struct Case {
    const char* name;
    void (*fault)(FaultyFileLayer&);
    bool raises;
    bool replaced;
    bool folder_error;
    std::uint64_t file_syncs;  // the temporary file is synced before the rename
  };
  const Case cases[] = {
      {"no fault", [](FaultyFileLayer&) {}, false, true, false, 1},
      {"the disk fills during the write", [](FaultyFileLayer& f) { f.FailWritesAfter(3); }, true, false, false, 0},
      {"the temporary file's sync fails", [](FaultyFileLayer& f) { f.FailFileSyncs(EIO); }, true, false, false, 1},
      {"the folder's sync fails", [](FaultyFileLayer& f) { f.FailFolderSyncs(EIO); }, false, true, true, 1},
  };
  const fs::path file = root_ / "Quelto.dat";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    { std::ofstream(file, std::ios::binary) << "old content"; }
    ::chmod(file.c_str(), 0640);
    FaultyFileLayer files;
    c.fault(files);
    std::error_code folder_error;
    bool raised = false;
    try {
      folder_error = files.ReplaceContent(file, "new content");
    } catch (const std::system_error&) {
      raised = true;
    }
    EXPECT_EQ(raised, c.raises);
    EXPECT_EQ(Content(file), c.replaced ? "new content" : "old content");
    EXPECT_EQ(static_cast<bool>(folder_error), c.folder_error);
    EXPECT_THAT(Names(root_), ElementsAre("Quelto.dat")) << "no temporary file is left";
    EXPECT_EQ(fs::status(file).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_EQ(files.FileSyncs(), c.file_syncs);
  }
}

}  // namespace
}  // namespace qit
