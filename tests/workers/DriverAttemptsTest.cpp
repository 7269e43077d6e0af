#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>

#include "ControlFixture.h"
#include "common/Errors.h"
#include "data/FbClient.h"
#include "workers/DriverAttempts.h"
#include "workers/DriverCache.h"
#include "workers/VerificaControle.h"
#include "workers/VerificaControle_Tab_Vert.h"

namespace qit {
namespace {

using ::testing::ElementsAre;
using testing::kNow;

// The driver step as the insert worker runs it: the control record, then the registration.
class DriverAttemptsTest : public testing::ControlFixture {
 protected:
  DriverAttemptsTest() { settings_.ConsultarEmpresa = true; }

  void DriverStep(std::string_view identifier, const std::string& description) {
    auto metadados = Metadados(1);
    const std::string id = control_.VerificaControle(*connection_, step_logger_, "02", identifier, "Motorista", 1, 1, kNow);
    registration_.VerificaControle_Tab_Vert(*connection_, *metadados, step_logger_, id, description, 1, kNow);
  }

  bool Attempts(const std::function<void(int attempt)>& attempt) {
    int n = 0;
    return RunDriverAttempts(
        *connection_, cache_, [&] { attempt(++n); },
        [&](const std::exception* error, int number) {
          reports_.push_back(number);
          EXPECT_NE(error, nullptr);
        },
        std::chrono::milliseconds(0));
  }

  Settings settings_;
  DriverCache cache_{*log_};
  GroupingControl control_{schema_, *log_};
  DriverRegistration registration_{schema_, *log_, settings_, cache_};
  std::vector<int> reports_;
};

TEST_F(DriverAttemptsTest, AFailedFirstAttemptLeavesExactlyOneRegistration) {
  const struct {
    const char* name;
    std::function<void(int)> attempt;
  } cases[] = {
      {"the database refuses a row half-way",
       [this](int n) { DriverStep("D600", n == 1 ? std::string(300, 'x') : "Dora"); }},
      {"a failure after the driver was registered",
       [this](int n) {
         DriverStep("D601", "Dora");
         if (n == 1) throw EConvertError("simulated");
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const int rows_before = Count("Repositorio");
    const int controls_before = Count("ControleCount");
    cache_.ShrinkTo(0);
    reports_.clear();

    EXPECT_TRUE(Attempts(c.attempt));
    EXPECT_THAT(reports_, ElementsAre(1));
    // One control record and the seven rows of one driver, who is the cache's only record.
    EXPECT_EQ(Count("ControleCount"), controls_before + 1);
    EXPECT_EQ(Count("Repositorio"), rows_before + 7);
    const auto records = cache_.Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(Rows("Grupo", {{"G", records[0].CODIGO}}).size(), 7u);

    // The work of the successful attempt stays in the transaction after the savepoint is gone.
    connection_->CommitTransaction();
    EXPECT_EQ(Count("Repositorio"), rows_before + 7);
  }
}

TEST_F(DriverAttemptsTest, ThreeFailuresConsumeThreeBlocksAndLeaveNothing) {
  const int rows_before = Count("Repositorio");
  const int controls_before = Count("ControleCount");
  const int generator_before = Count("Gerador");

  EXPECT_FALSE(Attempts([&](int) { DriverStep("D700", std::string(300, 'x')); }));
  EXPECT_THAT(reports_, ElementsAre(1, 2, 3));
  EXPECT_EQ(Count("Gerador"), generator_before + 3 * 6);
  EXPECT_EQ(Count("Repositorio"), rows_before);
  EXPECT_EQ(Count("ControleCount"), controls_before);
  EXPECT_FALSE(cache_.Find("D700", 1, false).has_value());
}

TEST_F(DriverAttemptsTest, AFailureOfTheDatabaseIsRaisedAtOnce) {
  // Input/output, a lock not given in time: not the driver's fault, and not tried again.
  int attempts = 0;
  EXPECT_THROW(Attempts([&](int) {
                 ++attempts;
                 DriverStep("D800", "Dora");
                 throw EFirebirdError("I/O error during \"write\" operation", false);
               }),
               EFirebirdError);
  EXPECT_EQ(attempts, 1);
  EXPECT_TRUE(reports_.empty());
}

}  // namespace
}  // namespace qit
