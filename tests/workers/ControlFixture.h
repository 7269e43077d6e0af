#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ScratchCatalogue.h"
#include "TestDatabase.h"
#include "common/DateTime.h"
#include "data/ConnectionManager.h"
#include "data/Schema.h"
#include "logging/VoradaLogger.h"
#include "workers/StepLogger.h"

namespace qit::testing {

// The demo fleet plus three more companies whose driver tables configure fewer fields:
//   2: CPO_MATRICULA and CPO_NOME (vertical table 20)
//   3: CPO_MATRICULA, CPO_NOME and CPO_CODIGO_EMPRESA, no CPO_MINERADO (vertical table 30)
//   4: a driver table without fields (vertical table 40)
// Each test works in one transaction that is rolled back at its end; generators move on.
class ControlFixture : public ::testing::Test {
 protected:
  static void SetUpTestSuite();
  static void TearDownTestSuite() { database_.reset(); }

  ControlFixture();
  ~ControlFixture() override;
  void SetUp() override;
  void TearDown() override;

  // The field definitions of a company's driver table, open.
  std::unique_ptr<DbDataset> Metadados(int company);
  // Rows of a probe query, each made of the named fields joined by "|" ("<null>" for null).
  std::vector<std::string> Rows(std::string_view probe, std::vector<std::pair<std::string, int>> params = {});
  int Count(std::string_view probe, std::vector<std::pair<std::string, int>> params = {});
  // Runs a probe command.
  void Run(std::string_view probe, std::vector<std::pair<std::string, int>> params = {});

  // The texts of the log file (stamps cut off), after closing it.
  std::vector<std::string> LogTexts();

  static inline std::optional<TestDatabase> database_;
  ConnectionManager manager_;
  PooledConnection connection_;
  Schema schema_;
  Schema probes_;
  std::filesystem::path log_folder_;
  std::unique_ptr<TVoradaLogger> log_;
  std::vector<std::string> steps_;
  StepLogger step_logger_;
};

inline const TDateTime kNow = TDateTime::Encode({2024, 5, 10, 8, 30, 0, 0});
inline const std::string kNowText = "10/05/2024 08:30:00";

}  // namespace qit::testing
