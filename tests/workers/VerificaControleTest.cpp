#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "ControlFixture.h"
#include "common/Text.h"
#include "workers/VerificaControle.h"

namespace qit {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::kNow;
using testing::kNowText;

class VerificaControleTest : public testing::ControlFixture {
 protected:
  std::string Verifica(std::string_view type, std::string_view identifier, std::string_view description,
                       int vehicle, int company, TDateTime now = kNow, ControlLookups* lookups = nullptr) {
    steps_.clear();
    return control_.VerificaControle(*connection_, step_logger_, type, identifier, description, vehicle, company, now,
                                     lookups);
  }

  GroupingControl control_{schema_, *log_};
};

TEST_F(VerificaControleTest, NewValueIsInsertedAndAReportedOneRefreshedPerCompany) {
  EXPECT_EQ(Verifica("02", "  M1 \t", " Joao  ", 1, 1), "M1");
  auto rows = Rows("Controle");
  ASSERT_EQ(rows.size(), 1u);
  const std::string code = rows[0].substr(0, rows[0].find('|'));
  EXPECT_EQ(rows[0], code + "|1|Joao|" + kNowText + "|M1|1");
  EXPECT_THAT(steps_, ElementsAre("Identificador = M1",
                                  "qryVerificaRegistro - IDENTIFICADOR_TIPO = 02 - IDENTIFICADOR_AGRUPAMENTO = M1",
                                  "qryProximoCodigoAgrupControle - AgrupamentosId.GetProximoCodigo",
                                  "Motorista Não Encontrado. Inserindo Agrupamento_Controle - CODIGO = " + code +
                                      " - CODIGO_TIPO_TELEMTRIA = 1 - DESCRICAO = Joao - DATAHORA = " + kNowText +
                                      " - IDENTIFICADOR = M1"));

  // Reported again, a day later and with a new description: the same record is refreshed.
  const TDateTime later = kNow + 1.0;
  EXPECT_EQ(Verifica("02", "M1", "Joao Silva", 1, 1, later), "M1");
  EXPECT_THAT(Rows("Controle"), ElementsAre(code + "|1|Joao Silva|" + later.ToString() + "|M1|1"));
  EXPECT_THAT(steps_, ElementsAre("Identificador = M1",
                                  "qryVerificaRegistro - IDENTIFICADOR_TIPO = 02 - IDENTIFICADOR_AGRUPAMENTO = M1",
                                  "Motorista Encontrado. Atualizando Agrupamento_Controle - DESCRICAO = Joao Silva - "
                                  "DATAHORA = " + later.ToString() + " - CODIGO = " + code));

  // The same identifier in another company is a record of its own.
  EXPECT_EQ(Verifica("02", "M1", "Joao", 1, 2), "M1");
  rows = Rows("Controle");
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_THAT(rows[1], ::testing::EndsWith("|1|Joao|" + kNowText + "|M1|2"));
}

// The look-ups a pass keeps answer the later records as the database would: a record just
// inserted is refreshed by the next report, never inserted twice, and the step texts are the
// same as without them.
TEST_F(VerificaControleTest, LookupsKeptForAPassGiveTheSameRecordsAndSteps) {
  ControlLookups lookups;
  ASSERT_EQ(Verifica("02", "M1", "Joao", 1, 1, kNow, &lookups), "M1");
  const std::string code = Rows("Controle")[0].substr(0, Rows("Controle")[0].find('|'));
  for (const char* description : {"Joao Silva", "Joao Costa"}) {
    SCOPED_TRACE(description);
    const TDateTime later = kNow + 1.0;
    EXPECT_EQ(Verifica("02", "M1", description, 1, 1, later, &lookups), "M1");
    EXPECT_THAT(Rows("Controle"), ElementsAre(code + "|1|" + description + "|" + later.ToString() + "|M1|1"));
    EXPECT_THAT(steps_, ElementsAre("Identificador = M1",
                                    "qryVerificaRegistro - IDENTIFICADOR_TIPO = 02 - IDENTIFICADOR_AGRUPAMENTO = M1",
                                    std::string("Motorista Encontrado. Atualizando Agrupamento_Controle - DESCRICAO = ") +
                                        description + " - DATAHORA = " + later.ToString() + " - CODIGO = " + code));
  }
  // A code the vehicle's operations do not have writes nothing, looked up or kept.
  for (int i = 0; i < 2; ++i) EXPECT_EQ(Verifica("09", "X", "Nada", 1, 1, kNow, &lookups), "X");
  EXPECT_EQ(Rows("Controle").size(), 1u);
}

TEST_F(VerificaControleTest, EmptyIdentifierIsTakenFromAStoredDescription) {
  // A grouping 1 value of company 1 is known under the description "Maria Souza".
  ASSERT_EQ(Verifica("03", "G7", "Maria Souza", 1, 1), "G7");
  const std::string lookup = "qryVerificaDescricao Descricao = ";
  const struct {
    const char* name;
    std::string_view type;
    std::string_view description;
    int company;
    std::string expected;
  } cases[] = {
      {"another letter case", "03", "  maria SOUZA ", 1, "G7"},
      {"no such description", "03", "Pedro", 1, ""},
      {"another company", "03", "Maria Souza", 2, ""},
      {"another type", "04", "Maria Souza", 1, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string description(Trim(c.description));
    EXPECT_EQ(Verifica(c.type, " ", c.description, 1, c.company), c.expected);
    std::vector<std::string> expected_start = {"Identificador = ",
                                               lookup + description + " - Tipo_Telemetria = " + std::string(c.type)};
    if (!c.expected.empty()) expected_start.push_back("Identificador := " + c.expected);
    expected_start.push_back("Identificador := " + c.expected);
    expected_start.push_back("qryVerificaDescricao.Close");
    expected_start.push_back("qryVerificaRegistro - IDENTIFICADOR_TIPO = " + std::string(c.type) +
                             " - IDENTIFICADOR_AGRUPAMENTO = " + c.expected);
    ASSERT_GT(steps_.size(), expected_start.size());
    EXPECT_EQ(std::vector<std::string>(steps_.begin(), steps_.begin() + expected_start.size()), expected_start);
  }
  // The known value was refreshed; each lookup that found nothing recorded a control record
  // with an empty identifier for its type and company.
  const auto rows = Rows("Controle");
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_THAT(rows[0], ::testing::EndsWith("|2|maria SOUZA|" + kNowText + "|G7|1"));
  EXPECT_THAT(rows[1], ::testing::EndsWith("|2|Pedro|" + kNowText + "||1"));
  EXPECT_THAT(rows[2], ::testing::EndsWith("|2|Maria Souza|" + kNowText + "||2"));
  EXPECT_THAT(rows[3], ::testing::EndsWith("|3|Maria Souza|" + kNowText + "||1"));
}

TEST_F(VerificaControleTest, NothingIsWrittenWithoutAGroupingTypeOfTheCode) {
  const struct {
    const char* name;
    std::string_view type;
    int vehicle;
  } cases[] = {{"type code no operation has", "05", 1}, {"vehicle without operations", "02", 99}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Verifica(c.type, " X9 ", "Desc", c.vehicle, 1), "X9");
    EXPECT_THAT(steps_, ElementsAre("Identificador = X9", "qryVerificaRegistro - IDENTIFICADOR_TIPO = " +
                                                              std::string(c.type) + " - IDENTIFICADOR_AGRUPAMENTO = X9"));
    EXPECT_THAT(Rows("Controle"), IsEmpty());
  }
}

TEST_F(VerificaControleTest, EveryCallLeavesAMethodPairAndAFailureIsRaised) {
  EXPECT_EQ(Verifica("02", "M2", "Curta", 1, 1), "M2");
  // A description longer than the column: the insert is refused by the database.
  EXPECT_THROW(Verifica("02", "M3", std::string(300, 'x'), 1, 1), std::exception);
  EXPECT_EQ(Rows("Controle").size(), 1u);

  const auto texts = LogTexts();
  const auto entries = std::count(texts.begin(), texts.end(), "-> VerificaControle");
  const auto exits = std::count(texts.begin(), texts.end(), "<- VerificaControle");
  EXPECT_EQ(entries, 2);
  EXPECT_EQ(exits, 2);
}

}  // namespace
}  // namespace qit
