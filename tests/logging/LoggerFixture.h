#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/DateTime.h"
#include "logging/VoradaLogger.h"

namespace qit::testing {

TDateTime At(int year, int month, int day, int hour = 0, int minute = 0, int second = 0, int millisecond = 0);

// A scratch base folder and a clock the test sets; loggers made here read `now_`.
class LoggerFixture : public ::testing::Test {
 protected:
  static constexpr const char* kDiretorio = "Logs/Integradores/Telemetria/";

  LoggerFixture();
  ~LoggerFixture() override;

  // A logger configured as the service configures its own, reading the fixture's clock.
  std::unique_ptr<TVoradaLogger> NewLogger(const std::string& prefixo = "log_enviar");

  std::filesystem::path Folder() const { return base_ / kDiretorio; }
  std::filesystem::path FileOf(const std::string& prefixo, TDateTime date) const;
  // Names of the entries of the log folder, sorted.
  std::vector<std::string> FolderEntries() const;

  // The lines of a file without their CR LF. A line ending in anything else, or a lone CR
  // or LF inside the file, fails the test.
  static std::vector<std::string> ReadLines(const std::filesystem::path& file);
  // The same lines with the "dd/mm/yy hh:nn:ss.zzz : " stamp checked against `stamp` and cut off.
  static std::vector<std::string> ReadTexts(const std::filesystem::path& file, TDateTime stamp);
  static std::string Stamp(TDateTime when);

  // The three header texts, then `texts`: what a first open cycle holds.
  static std::vector<std::string> HeaderTexts();
  static std::vector<std::string> WithHeader(const std::vector<std::string>& texts);

  std::filesystem::path base_;
  TDateTime now_ = At(2024, 3, 15, 10, 22, 33, 123);
};

}  // namespace qit::testing
