#include <fstream>

#include <dirent.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "LoggerFixture.h"
#include "logging/LogRetention.h"

namespace qit::testing {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

void Touch(const fs::path& file) { std::ofstream(file) << "antigo\r\n"; }

std::string Numbered(int n) { return "linha " + std::to_string(n); }

class LogFileCycleTest : public LoggerFixture {};

// Lines 1..100 (the header's three included) form one open cycle; the 101st reopens the file
// by name. Renaming the file in between shows where each line went.
TEST_F(LogFileCycleTest, FileIsReopenedAtTheHundredAndFirstLineWithNoLineLostOrRepeated) {
  auto logger = NewLogger();
  const fs::path file = FileOf("log_enviar", now_);
  std::vector<std::string> first_cycle = HeaderTexts();
  for (int n = 4; n <= 100; ++n) {
    logger->Registrar(Numbered(n));
    first_cycle.push_back(Numbered(n));
  }
  fs::rename(file, base_ / "ciclo1");
  logger->Registrar(Numbered(101));
  fs::rename(file, base_ / "ciclo2");
  logger->Registrar(Numbered(102));  // still the open file of the second cycle, now renamed

  EXPECT_THAT(ReadTexts(base_ / "ciclo1", now_), ElementsAreArray(first_cycle));
  EXPECT_THAT(ReadTexts(base_ / "ciclo2", now_), ElementsAre(Numbered(101), Numbered(102)));
  EXPECT_FALSE(fs::exists(file));
}

TEST_F(LogFileCycleTest, FirstLineAfterMidnightGoesToTheNewDaysFile) {
  auto logger = NewLogger();
  const TDateTime before = At(2024, 3, 15, 23, 59, 59, 999);
  const TDateTime after = At(2024, 3, 16, 0, 0, 0, 0);
  now_ = before;
  logger->Registrar("ontem");
  const std::vector<std::string> old_lines = ReadLines(FileOf("log_enviar", before));

  now_ = after;
  logger->Registrar("hoje");
  now_ = before;  // a clock set back returns to the old day's file, appending
  logger->Registrar("de volta");

  EXPECT_THAT(ReadTexts(FileOf("log_enviar", after), after), ElementsAre("hoje"));
  std::vector<std::string> expected = old_lines;
  expected.push_back(Stamp(before) + "de volta");
  EXPECT_THAT(ReadLines(FileOf("log_enviar", before)), ElementsAreArray(expected));
}

TEST_F(LogFileCycleTest, OldFilesAreDeletedByTheDateInTheirNames) {
  fs::create_directories(Folder());
  for (const char* name : {"log_enviar240101.log", "log_enviar240102.log", "log_enviar231231.txt",
                           "log_enviar_backup.log", "log_enviar+24010.log", "log_enviar240230.log",
                           "log_enviar24010", "log_enviar240401.log", "log_atualizar230101.log", "outro230101.log"})
    Touch(Folder() / name);
  fs::create_directory(Folder() / "log_enviar230101");

  now_ = At(2024, 3, 2, 8);
  auto logger = NewLogger();
  logger->Registrar("x");
  EXPECT_THAT(FolderEntries(),
              ElementsAre("log_atualizar230101.log", "log_enviar+24010.log", "log_enviar230101",
                          "log_enviar24010", "log_enviar240102.log", "log_enviar240230.log", "log_enviar240302.log",
                          "log_enviar240401.log", "log_enviar_backup.log", "outro230101.log"));
}

// A file exactly MaximoDias old survives; one day more and the next reopen deletes it.
TEST_F(LogFileCycleTest, DeletionBoundaryIsCheckedAtEveryReopen) {
  fs::create_directories(Folder());
  Touch(Folder() / "log_enviar240101.log");
  now_ = At(2024, 3, 1, 23, 59, 59, 999);
  auto logger = NewLogger();
  logger->Registrar("60 dias");
  EXPECT_TRUE(fs::exists(Folder() / "log_enviar240101.log"));

  now_ = At(2024, 3, 2);
  logger->Registrar("61 dias");
  EXPECT_THAT(FolderEntries(), ElementsAre("log_enviar240301.log", "log_enviar240302.log"));
}

// Today's own file, already holding lines, is never among the deleted ones.
TEST_F(LogFileCycleTest, MaximoDiasBoundaries) {
  struct Case {
    int maximo_dias;
    std::vector<std::string> kept;
  };
  const Case cases[] = {
      {2, {"p240313.log", "p240314.log", "p240315.log"}},
      {1, {"p240314.log", "p240315.log"}},
      {0, {"p240315.log"}},
      {-5, {"p240315.log"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.maximo_dias);
    fs::remove_all(Folder());
    fs::create_directories(Folder());
    for (const char* name : {"p240313.log", "p240314.log", "p240315.log"}) Touch(Folder() / name);
    auto logger = NewLogger("p");
    logger->SetMaximoDias(c.maximo_dias);
    logger->Registrar("hoje");
    EXPECT_THAT(FolderEntries(), ElementsAreArray(c.kept));
    const std::vector<std::string> today = ReadLines(Folder() / "p240315.log");
    ASSERT_EQ(today.size(), 5u);
    EXPECT_EQ(today.front(), "antigo");
  }
}

TEST_F(LogFileCycleTest, DateInLogFileName) {
  EXPECT_EQ(DateInLogFileName("log_240315.log", "log_"), At(2024, 3, 15));
  EXPECT_EQ(DateInLogFileName("log_000229", "log_"), At(2000, 2, 29));
  EXPECT_EQ(DateInLogFileName("log_990101.log", "log_"), At(2099, 1, 1));
  for (const char* name : {"log_240230.log", "log_241301.log", "log_240100.log", "log_24031", "log_2403a5.log",
                           "log_ 40315.log", "LOG_240315.log", "x_240315.log"})
    EXPECT_FALSE(DateInLogFileName(name, "log_").has_value()) << name;
}

// A file that cannot be opened costs the lines of its cycle, never an error; the next cycle
// writes again.
TEST_F(LogFileCycleTest, UnopenableFileLosesOnlyItsCycle) {
  auto logger = NewLogger();
  const fs::path file = FileOf("log_enviar", now_);
  fs::create_directory(file);  // a folder where the file should be
  for (int n = 4; n <= 100; ++n) EXPECT_NO_THROW(logger->Registrar(Numbered(n)));
  fs::remove(file);
  logger->Registrar(Numbered(101));
  EXPECT_THAT(ReadTexts(file, now_), ElementsAre(Numbered(101)));
}

TEST_F(LogFileCycleTest, RemovedFolderIsMadeAgainAtTheNextReopen) {
  auto logger = NewLogger();
  logger->Registrar(Numbered(4));
  fs::remove_all(base_ / "Logs");
  for (int n = 5; n <= 101; ++n) logger->Registrar(Numbered(n));
  EXPECT_THAT(ReadTexts(FileOf("log_enviar", now_), now_), ElementsAre(Numbered(101)));
}

int OpenDescriptors() {
  int count = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

TEST_F(LogFileCycleTest, DestructionClosesTheFile) {
  const int before = OpenDescriptors();
  {
    auto logger = NewLogger();
    logger->Registrar("aberto");
    EXPECT_EQ(OpenDescriptors(), before + 1);
  }
  EXPECT_EQ(OpenDescriptors(), before);
}

TEST_F(LogFileCycleTest, CloseReleasesTheFileAndALaterLineOpensItAgain) {
  const int before = OpenDescriptors();
  auto logger = NewLogger();
  logger->Registrar(Numbered(4));
  logger->Close();
  EXPECT_EQ(OpenDescriptors(), before);
  logger->Registrar(Numbered(5));
  std::vector<std::string> expected = HeaderTexts();
  expected.push_back(Numbered(4));
  expected.push_back(Numbered(5));
  EXPECT_THAT(ReadTexts(FileOf("log_enviar", now_), now_), ElementsAreArray(expected));
}

}  // namespace
}  // namespace qit::testing
