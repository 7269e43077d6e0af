// The configuration file: how keys are found, and a write-back that changes one value and
// keeps every other byte of the file.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "FaultyFileLayer.h"
#include "host/IniFile.h"
#include "host/unDMPrincipal.h"

namespace qit {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;  // "...\0..."s keeps a NUL byte inside a literal

class IniFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() / ("qit-ini-" + std::to_string(::getpid()) + "-" +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(folder_);
    fs::create_directories(folder_);
    file_ = folder_ / "Quelto.dat";
  }
  void TearDown() override { fs::remove_all(folder_); }

  void WriteFile(const fs::path& file, const std::string& bytes) {
    std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
  }
  static std::string ReadFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  // Every entry of the folder: a write-back leaves no temporary file behind.
  std::vector<std::string> FolderEntries() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder_)) names.push_back(entry.path().filename().string());
    return names;
  }

  fs::path folder_, file_;
};

TEST_F(IniFileTest, KeysAreFoundByTheReadingRule) {
  struct Case {
    const char* name;
    std::string file;
    const char* section;
    const char* key;
    const char* expected;  // "<missing>" when the default comes back
  };
  const std::string long_value(3000, 'v');
  const Case cases[] = {
      {"duplicate key: the first counts", "[A]\nx=1\nx=2\n", "A", "x", "1"},
      {"other letter case", "[configuracoes]\ngravarmotorista=t\n", "CONFIGURACOES", "GravarMotorista", "t"},
      {"values and names are trimmed", "  [ A ]  \r\n  x  =  a b  \r\n", "A", "x", "a b"},
      {"CR LF is no part of the value", "[A]\r\nx=1\r\n", "A", "x", "1"},
      {"lone CR ends a line", "[A]\rx=1\ry=2\r", "A", "y", "2"},
      {"sections after a NUL byte", "[A]\nx=1\0junk\n[Portas]\nQuantidade=2\n"s, "Portas", "Quantidade", "2"},
      {"a NUL byte inside a line", "[A]\n;\0\n\0y=3\n"s, "A", "y", "3"},
      {"a key before any section", "x=1\n[A]\n", "A", "x", "<missing>"},
      {"comment lines are no keys", "[A]\n;x=1\n#x=2\n", "A", "x", "<missing>"},
      {"a key of another section", "[A]\nx=1\n[B]\n", "B", "x", "<missing>"},
      {"a section repeated later", "[A]\nx=1\n[B]\n[a]\ny=2\nx=9\n", "A", "y", "2"},
      {"first key over repeated sections", "[A]\nx=1\n[B]\n[a]\ny=2\nx=9\n", "A", "x", "1"},
      {"the first equals sign separates", "[A]\nx=a=b\n", "A", "x", "a=b"},
      {"a byte order mark", "\xEF\xBB\xBF[A]\nx=1\n", "A", "x", "1"},
      {"an empty value", "[A]\nx=\n", "A", "x", ""},
      {"no final line end", "[A]\nx=1", "A", "x", "1"},
      {"a long value is cut", "[A]\nx=" + long_value + "\n", "A", "x", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(file_, c.file);
    const IniFile ini(file_);
    const std::string expected = c.expected ? c.expected : long_value.substr(0, 2047);
    EXPECT_EQ(ini.ReadText(c.section, c.key, "<missing>"), expected);
  }
}

// Each case writes its values one after the other, as the start-up does, and the file must
// then hold exactly the expected bytes; a fresh reader finds every value written.
TEST_F(IniFileTest, WriteBackChangesOnlyTheValue) {
  struct Write {
    const char* section;
    const char* key;
    const char* value;
  };
  struct Case {
    const char* name;
    std::string before;  // "<none>": no file
    std::vector<Write> writes;
    std::string after;
  };
  const Case cases[] = {
      {"CR LF: value changed, key added to its section, new section at the end",
       "[A]\r\nx=1\r\n\r\n[B]\r\nz=3\r\n",
       {{"A", "x", "5"}, {"A", "y", "7"}, {"C", "k", "v"}},
       "[A]\r\nx=5\r\ny=7\r\n\r\n[B]\r\nz=3\r\n[C]\r\nk=v\r\n"},
      {"LF: the same", "[A]\nx=1\n\n[B]\nz=3\n", {{"A", "x", "5"}, {"A", "y", "7"}, {"C", "k", "v"}},
       "[A]\nx=5\ny=7\n\n[B]\nz=3\n[C]\nk=v\n"},
      {"comments, blank lines and spacing stay",
       "; top\n\n[A]\n# note\n  x = 1 \n\n; about B\n[B]\n",
       {{"A", "x", "2"}, {"A", "y", "3"}},
       "; top\n\n[A]\n# note\n  x = 2\ny=3\n\n; about B\n[B]\n"},
      {"duplicate key: the first changes, the second stays", "[A]\nx=1\nx=2\n", {{"A", "x", "9"}},
       "[A]\nx=9\nx=2\n"},
      {"a NUL byte and what follows it stay",
       "[A]\nx=1\n;\0junk\n[Portas]\nQuantidade=2\n"s,
       {{"A", "x", "3"}, {"B", "k", "v"}},
       "[A]\nx=3\n;\0junk\n[Portas]\nQuantidade=2\n[B]\nk=v\n"s},
      {"no file: created with the sections in order of first write", "<none>",
       {{"A", "x", "1"}, {"B", "y", "2"}, {"A", "z", "3"}},
       "[A]\nx=1\nz=3\n[B]\ny=2\n"},
      {"key and section in other letter case keep their spelling",
       "[configuracoes]\ngravarmotorista=t\n",
       {{"CONFIGURACOES", "GravarMotorista", "F"}, {"CONFIGURACOES", "ConsultarEmpresa", "T"}},
       "[configuracoes]\ngravarmotorista=F\nConsultarEmpresa=T\n"},
      {"no final line end: value changed", "[A]\nx=1", {{"A", "x", "2"}}, "[A]\nx=2"},
      {"no final line end: key added", "[A]\nx=1", {{"A", "y", "2"}}, "[A]\nx=1\ny=2\n"},
      {"no final line end: section added, CR LF", "[A]\r\nx=1", {{"B", "k", "v"}}, "[A]\r\nx=1\r\n[B]\r\nk=v\r\n"},
      {"empty value filled", "[A]\nx=\ny=  \n", {{"A", "x", "5"}, {"A", "y", "6"}}, "[A]\nx=5\ny=6\n"},
      {"a key before any section is not the section's", "x=1\n[A]\n", {{"A", "x", "2"}}, "x=1\n[A]\nx=2\n"},
      {"repeated section: its key changed where it is, a new key goes to the first",
       "[A]\nx=1\n[B]\n[a]\ny=2\n",
       {{"A", "y", "5"}, {"A", "z", "3"}},
       "[A]\nx=1\nz=3\n[B]\n[a]\ny=5\n"},
      {"a byte order mark stays", "\xEF\xBB\xBF[A]\r\nx=1\r\n", {{"A", "x", "2"}}, "\xEF\xBB\xBF[A]\r\nx=2\r\n"},
      {"a section without keys gets the key after its header", "[A]\n\n[B]\nz=1\n", {{"A", "x", "1"}},
       "[A]\nx=1\n\n[B]\nz=1\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(file_);
    if (c.before != "<none>") WriteFile(file_, c.before);
    IniFile ini(file_);
    for (const Write& w : c.writes) ini.WriteText(w.section, w.key, w.value);
    EXPECT_EQ(ReadFile(file_), c.after);
    const IniFile again(file_);
    for (const Write& w : c.writes) EXPECT_EQ(again.ReadText(w.section, w.key, "<missing>"), w.value) << w.key;
    EXPECT_EQ(FolderEntries(), std::vector<std::string>{"Quelto.dat"});
  }
}

// The file is replaced whole (a crash leaves the old or the new one, never half of it); the
// replacement keeps the file's permission bits, and a link keeps pointing at the same file.
TEST_F(IniFileTest, WriteBackReplacesTheFileSafely) {
  WriteFile(file_, "[A]\nx=1\n");
  ::chmod(file_.c_str(), 0640);
  IniFile(file_).WriteInteger("A", "x", 2);
  EXPECT_EQ(fs::status(file_).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);

  const fs::path target = folder_ / "real" / "shared.dat";
  fs::create_directories(target.parent_path());
  WriteFile(target, "[A]\nx=1\n");
  const fs::path link = folder_ / "Link.dat";
  fs::create_symlink(target, link);
  IniFile(link).WriteFlag("A", "x", true);
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(ReadFile(target), "[A]\nx=T\n");
  EXPECT_EQ(fs::directory_iterator(target.parent_path())->path(), target);  // nothing else left there
}

TEST_F(IniFileTest, AWriteThatCannotHappenChangesNothing) {
  struct Case {
    const char* name;
    const char* section;
    const char* key;
    const char* value;
    const char* error;  // the start of the error text
  };
  const std::string unable = "Unable to write to " + (folder_ / "missing" / "Quelto.dat").string();
  const Case cases[] = {
      {"a folder that does not exist", "A", "x", "1", unable.c_str()},
      {"a line break in the value", "A", "x", "1\n[Portas]", "Invalid configuration entry"},
      {"a carriage return in the key", "A", "x\r", "1", "Invalid configuration entry"},
      {"an equals sign in the key", "A", "x=y", "1", "Invalid configuration entry"},
      {"a bracket in the section", "A]", "x", "1", "Invalid configuration entry"},
      {"an empty key", "A", "", "1", "Invalid configuration entry"},
      {"a key that reads as a comment", "A", ";x", "1", "Invalid configuration entry"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const bool missing_folder = std::string(c.error).rfind("Unable", 0) == 0;
    const fs::path file = missing_folder ? folder_ / "missing" / "Quelto.dat" : file_;
    if (!missing_folder) WriteFile(file, "[A]\nx=0\n");
    IniFile ini(file);
    std::string error;
    try {
      ini.WriteText(c.section, c.key, c.value);
    } catch (const Exception& e) {
      error = e.what();
      EXPECT_EQ(e.ClassName(), "EIniFileException");
    }
    EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
    if (!missing_folder) {
      EXPECT_EQ(ReadFile(file), "[A]\nx=0\n");
      EXPECT_EQ(ini.ReadText("A", "x", ""), "0");
    }
    EXPECT_EQ(FolderEntries(), missing_folder ? std::vector<std::string>{} : std::vector<std::string>{"Quelto.dat"});
  }
}

// A write-back the disk refuses (full, or a failing sync) leaves the file as it was and no
// temporary file; a folder that cannot be synced once the file is in place is no error.
TEST_F(IniFileTest, AWriteTheDiskRefusesLeavesTheFileAsItWas) {
  struct Case {
    const char* name;
    void (*fault)(qit::testing::FaultyFileLayer&);
    bool written;
  };
  const Case cases[] = {
      {"the disk fills", [](qit::testing::FaultyFileLayer& f) { f.FailWritesAfter(4); }, false},
      {"the file's sync fails", [](qit::testing::FaultyFileLayer& f) { f.FailFileSyncs(EIO); }, false},
      {"the folder's sync fails", [](qit::testing::FaultyFileLayer& f) { f.FailFolderSyncs(EIO); }, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(file_, "[A]\nx=0\n");
    qit::testing::FaultyFileLayer files;
    c.fault(files);
    IniFile ini(file_, files);
    std::string error;
    try {
      ini.WriteInteger("A", "x", 12345);
    } catch (const Exception& e) {
      error = e.what();
    }
    EXPECT_EQ(error, c.written ? "" : "Unable to write to " + file_.string());
    EXPECT_EQ(ReadFile(file_), c.written ? "[A]\nx=12345\n" : "[A]\nx=0\n");
    EXPECT_EQ(ini.ReadText("A", "x", ""), c.written ? "12345" : "0") << "what it reads follows the file";
    EXPECT_EQ(FolderEntries(), std::vector<std::string>{"Quelto.dat"});
  }
}

TEST(ProgramFolderTest, FileNamesReplaceTheExecutablesExtension) {
  struct Case {
    const char* executable;
    const char* configuration;
    const char* connection;
  };
  const Case cases[] = {
      {"Quelto.bin", "Quelto.dat", "Quelto.con"},
      {"QueltoIntegradorTelemetria", "QueltoIntegradorTelemetria.dat", "QueltoIntegradorTelemetria.con"},
      {"quelto.v2.exe", "quelto.v2.dat", "quelto.v2.con"},
      {"Quelto.", "Quelto.dat", "Quelto.con"},
  };
  for (const Case& c : cases) {
    const ProgramFolder folder{"/opt/v1.5", c.executable};
    EXPECT_EQ(folder.ConfigurationFile(), fs::path("/opt/v1.5") / c.configuration) << c.executable;
    EXPECT_EQ(folder.ConnectionFile(), fs::path("/opt/v1.5") / c.connection) << c.executable;
  }
}

}  // namespace
}  // namespace qit
