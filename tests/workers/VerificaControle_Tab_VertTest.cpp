#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "ControlFixture.h"
#include "workers/DriverCache.h"
#include "workers/VerificaControle_Tab_Vert.h"

namespace qit {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::kNow;
using testing::kNowText;

const std::string kInserir = "Motorista Não Encontrado. Inserir ";
const std::string kAtualizando = "Motorista Encontrado. Atualizando ";

class VerificaControle_Tab_VertTest : public testing::ControlFixture {
 protected:
  std::string Verifica(std::string_view identifier, std::string_view description, int company,
                       bool consultar_empresa = true) {
    steps_.clear();
    settings_.ConsultarEmpresa = consultar_empresa;
    auto metadados = Metadados(company);
    return registration_.VerificaControle_Tab_Vert(*connection_, *metadados, step_logger_, identifier, description,
                                                   company, kNow);
  }

  // The CODIGO_GRUPO the cache holds for a driver.
  int GroupOf(std::string_view identifier, int company) {
    const auto record = cache_.Find(identifier, company, true);
    EXPECT_TRUE(record.has_value()) << identifier;
    return record ? record->CODIGO : -1;
  }

  // "code|table|field|text|integer" of a row of the driver's group.
  static std::string Row(int code, int table, int field, std::string_view text, std::string_view integer) {
    return std::to_string(code) + "|" + std::to_string(table) + "|" + std::to_string(field) + "|" + std::string(text) +
           "|" + std::string(integer);
  }

  Settings settings_;
  DriverCache cache_{*log_};
  DriverRegistration registration_{schema_, *log_, settings_, cache_};
};

TEST_F(VerificaControle_Tab_VertTest, NewDriverGetsEveryConfiguredFieldAndThenACacheRecord) {
  EXPECT_EQ(Verifica("  D100 ", " Ana  ", 1), "D100");
  const int g = GroupOf("D100", 1);
  // Six codes end at G; the company field takes the end of one more block, since CPO_MINERADO
  // already holds G. CPO_CODIGO is configured but not written here.
  EXPECT_THAT(Rows("Grupo", {{"G", g}}),
              ElementsAre(Row(g - 5, 10, 2, "<null>", "<null>"), Row(g - 4, 10, 3, "D100", "<null>"),
                          Row(g - 3, 10, 4, "I", "<null>"), Row(g - 2, 10, 5, "F", "<null>"),
                          Row(g - 1, 10, 6, "Ana", "<null>"), Row(g, 10, 7, "F", "<null>"),
                          Row(g + 6, 10, 8, "<null>", "1")));
  EXPECT_THAT(steps_, ElementsAre("Identificador = D100",
                                  kInserir + "CODIGO = " + std::to_string(g) + " - DESCRICAO = Ana - DATAHORA = " +
                                      kNowText + " - IDENTIFICADOR = D100",
                                  kInserir + "CPO_CRACHA = Null", kInserir + "CPO_MATRICULA = D100",
                                  kInserir + "CPO_STATUS = I", kInserir + "CPO_NOME = Ana", kInserir + "CPO_MINERADO = F",
                                  kInserir + "CPO_CODIGO_EMPRESA = 1"));
  EXPECT_THAT(cache_.Records(), ElementsAre(DriverRecord{g, "D100", 1}));

  const auto texts = LogTexts();
  // Written inside the marked method, so one step indented.
  EXPECT_THAT(texts, ::testing::Contains(" |Adicionando Motorista Tempo Real = D100 Empresa = 1"));
  EXPECT_EQ(std::count(texts.begin(), texts.end(), "-> VerificaControle_Tab_Vert"), 1);
  EXPECT_EQ(std::count(texts.begin(), texts.end(), "<- VerificaControle_Tab_Vert"), 1);
}

TEST_F(VerificaControle_Tab_VertTest, OnlyTheFieldsACompanyConfiguresAreWritten) {
  const struct {
    int company;
    // (field, code offset from G), in field order
    std::vector<std::pair<int, int>> rows;
  } cases[] = {
      {2, {{3, -4}, {6, -1}}},
      // Without CPO_MINERADO the company field takes G itself.
      {3, {{3, -4}, {6, -1}, {8, 0}}},
      // No field at all: a block of codes is drawn and the cache learns the driver anyway.
      {4, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.company);
    const int before = Count("Gerador");
    Verifica("D200", "Bia", c.company);
    const int g = GroupOf("D200", c.company);
    EXPECT_EQ(g, before + 6);
    std::vector<std::string> expected;
    for (const auto& [field, offset] : c.rows)
      expected.push_back(Row(g + offset, c.company * 10, field, field == 3 ? "D200" : field == 6 ? "Bia" : "<null>",
                             field == 8 ? std::to_string(c.company) : "<null>"));
    EXPECT_EQ(Rows("Grupo", {{"G", g}}), expected);
  }
}

TEST_F(VerificaControle_Tab_VertTest, KnownDriverIsRefreshedWithoutNewRows) {
  Verifica("D300", "Bruno", 1);
  const int g = GroupOf("D300", 1);
  Run("Apagar", {{"G", g}});
  const int rows_before = Count("Repositorio");

  EXPECT_EQ(Verifica(" D300 ", "Bruno Lima", 1), "D300");
  const std::string at = " - DATAHORA = " + kNowText;
  EXPECT_THAT(steps_, ElementsAre("Identificador = D300", "Atualizando Motorista = D300",
                                  kAtualizando + "CPO_APAGADO = F - DESCRICAO = Bruno Lima" + at,
                                  kAtualizando + "CPO_NOME = Bruno Lima" + at,
                                  kAtualizando + "CPO_CODIGO_EMPRESA = 1 - DESCRICAOBruno Lima" + at));
  const auto rows = Rows("Grupo", {{"G", g}});
  ASSERT_EQ(rows.size(), 7u);
  EXPECT_EQ(rows[3], Row(g - 2, 10, 5, "F", "<null>"));
  EXPECT_EQ(rows[4], Row(g - 1, 10, 6, "Bruno Lima", "<null>"));
  EXPECT_EQ(rows[6], Row(g + 6, 10, 8, "<null>", "1"));
  EXPECT_EQ(Count("Repositorio"), rows_before);
  EXPECT_EQ(cache_.Size(), 1u);
}

TEST_F(VerificaControle_Tab_VertTest, WhichCachedDriverCountsAsKnown) {
  const struct {
    const char* name;
    bool consultar_empresa;
    std::string_view identifier;
    int company;
    bool known;
  } cases[] = {
      {"same company", true, "D400", 1, true},
      {"another company, per company", true, "D400", 2, false},
      {"another company, across companies", false, "D400", 2, true},
      {"another letter case", false, "d400", 1, false},
      {"blanks around it", true, " D400\t", 1, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    cache_.ShrinkTo(0);
    Verifica("D400", "Caio", 1);
    const std::size_t size = cache_.Size();
    Verifica(c.identifier, "Caio", c.company, c.consultar_empresa);
    ASSERT_GE(steps_.size(), 2u);
    if (c.known) {
      EXPECT_EQ(steps_[1], "Atualizando Motorista = D400");
      EXPECT_EQ(cache_.Size(), size);
    } else {
      EXPECT_THAT(steps_[1], ::testing::StartsWith(kInserir + "CODIGO = "));
      EXPECT_EQ(cache_.Size(), size + 1);
    }
  }
}

TEST_F(VerificaControle_Tab_VertTest, FailedRegistrationLeavesTheCacheWithoutTheDriver) {
  // A name longer than the value column: the CPO_NOME row is refused.
  EXPECT_THROW(Verifica("D500", std::string(300, 'n'), 1), std::exception);
  EXPECT_FALSE(cache_.Find("D500", 1, true).has_value());
  EXPECT_EQ(steps_.back(), kInserir + "CPO_NOME = " + std::string(300, 'n'));
  const auto texts = LogTexts();
  EXPECT_EQ(std::count(texts.begin(), texts.end(), "-> VerificaControle_Tab_Vert"), 1);
  EXPECT_EQ(std::count(texts.begin(), texts.end(), "<- VerificaControle_Tab_Vert"), 1);
}

}  // namespace
}  // namespace qit
