#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "ControlFixture.h"
#include "workers/DriverCache.h"

namespace qit {
namespace {

using ::testing::ElementsAre;
using ::testing::UnorderedElementsAre;

class DriverCacheTest : public testing::ControlFixture {
 protected:
  DriverCache cache_{*log_};
};

TEST_F(DriverCacheTest, LookupAnswersTheFirstMatchingRecord) {
  cache_.AdicionarMotoristaTempoReal(1, 1, "A");
  cache_.AdicionarMotoristaTempoReal(2, 1, "B");
  cache_.AdicionarMotoristaTempoReal(3, 2, "A");
  cache_.AdicionarMotoristaTempoReal(4, 1, "A");
  const struct {
    std::string_view identifier;
    int company;
    bool by_company;
    int expected;  // CODIGO; 0: not found
  } cases[] = {
      {"A", 2, false, 1}, {"A", 2, true, 3}, {"A", 1, true, 1}, {"B", 7, false, 2},
      {"B", 2, true, 0},  {"a", 1, false, 0}, {"A ", 1, false, 0}, {"", 1, false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.identifier) + "/" + std::to_string(c.company) + (c.by_company ? " by company" : ""));
    const auto found = cache_.Find(c.identifier, c.company, c.by_company);
    EXPECT_EQ(found ? found->CODIGO : 0, c.expected);
  }

  // Shrinking forgets the later records and only their index entries.
  cache_.AdicionarMotoristaTempoReal(5, 3, "C");
  cache_.AdicionarMotoristaTempoReal(6, 3, "A");
  cache_.ShrinkTo(4);
  EXPECT_FALSE(cache_.Find("C", 3, false).has_value());
  EXPECT_FALSE(cache_.Find("A", 3, true).has_value());
  EXPECT_EQ(cache_.Find("A", 2, true)->CODIGO, 3);
  EXPECT_EQ(cache_.Find("A", 3, false)->CODIGO, 1);
  cache_.AdicionarMotoristaTempoReal(7, 3, "C");
  EXPECT_EQ(cache_.Find("C", 3, true)->CODIGO, 7);

  const auto texts = LogTexts();
  EXPECT_NE(std::find(texts.begin(), texts.end(), "Adicionando Motorista Tempo Real = A Empresa = 2"), texts.end());
}

TEST_F(DriverCacheTest, LoadReadsEveryDriverOnce) {
  // Committed drivers of company 1: group 100 with a registration, group 106 with a badge only.
  auto database = testing::TestDatabase::Embedded(testing::TestDatabase::Content::kSchemaAndDemo);
  database.Execute({
      "INSERT INTO TAB_VERT_REPOSITORIO (CODIGO, CODIGO_GRUPO, CODIGO_TABELA, CODIGO_CAMPO, VALOR_STRING) "
      "VALUES (95, 100, 10, 2, NULL)",
      "INSERT INTO TAB_VERT_REPOSITORIO (CODIGO, CODIGO_GRUPO, CODIGO_TABELA, CODIGO_CAMPO, VALOR_STRING) "
      "VALUES (96, 100, 10, 3, 'X1')",
      "INSERT INTO TAB_VERT_REPOSITORIO (CODIGO, CODIGO_GRUPO, CODIGO_TABELA, CODIGO_CAMPO, VALOR_STRING) "
      "VALUES (101, 106, 10, 2, 'CR')",
  });
  ConnectionManager pool;
  pool.SetConnections({database.GpsDefinition()});
  EXPECT_FALSE(cache_.Loaded());
  cache_.CarregarCDS(pool, schema_);
  EXPECT_TRUE(cache_.Loaded());
  EXPECT_THAT(cache_.Records(), UnorderedElementsAre(DriverRecord{100, "X1", 1}, DriverRecord{106, "", 1}));
  EXPECT_EQ(cache_.Find("X1", 1, true)->CODIGO, 100);
  const auto texts = LogTexts();
  EXPECT_NE(std::find(texts.begin(), texts.end(), "Adicionando Motorista = X1 Empresa = 1"), texts.end());
  EXPECT_NE(std::find(texts.begin(), texts.end(), "Adicionando Motorista =  Empresa = 1"), texts.end());
}

TEST_F(DriverCacheTest, AFailedLoadAddsNothingAndMayBeRepeated) {
  ConnectionManager pool;
  auto missing = database_->GpsDefinition();
  missing.ConnectionString = "FIB?Server=;Database=/nonexistent/qit/missing.fdb;UserID=;Password=;";
  pool.SetConnections({missing});
  cache_.CarregarCDS(pool, schema_);  // never raises
  EXPECT_FALSE(cache_.Loaded());
  EXPECT_EQ(cache_.Size(), 0u);
  auto texts = LogTexts();
  EXPECT_EQ(std::count_if(texts.begin(), texts.end(),
                          [](const std::string& text) { return text.starts_with("Erro em (CarregarCDS) = ("); }),
            1);

  pool.SetConnections({database_->GpsDefinition()});
  cache_.CarregarCDS(pool, schema_);
  EXPECT_TRUE(cache_.Loaded());
}

TEST_F(DriverCacheTest, LoadingAndLookupsOnTwoThreads) {
  constexpr int kDrivers = 5000;
  std::atomic<bool> done = false;
  std::thread reader([&] {
    while (!done) {
      const auto found = cache_.Find("M0", 1, true);
      if (found) {
        EXPECT_EQ(found->CODIGO, 0);
      }
    }
  });
  for (int i = 0; i < kDrivers; ++i) cache_.AdicionarMotoristaTempoReal(i, 1, "M" + std::to_string(i));
  done = true;
  reader.join();
  EXPECT_EQ(cache_.Size(), static_cast<std::size_t>(kDrivers));
  EXPECT_EQ(cache_.Find("M4999", 1, false)->CODIGO, 4999);
}

}  // namespace
}  // namespace qit
