#include "ControlFixture.h"

#include <fstream>
#include <random>

namespace qit::testing {
namespace {

const std::vector<std::string> kMoreCompanies = {
    "INSERT INTO EMPRESAS (CODIGO, NOME) VALUES (2, 'Dois')",
    "INSERT INTO EMPRESAS (CODIGO, NOME) VALUES (3, 'Tres')",
    "INSERT INTO EMPRESAS (CODIGO, NOME) VALUES (4, 'Quatro')",
    "INSERT INTO CONFIG_APP (CODIGO, CODIGO_EMPRESA) VALUES (2, 2)",
    "INSERT INTO CONFIG_APP (CODIGO, CODIGO_EMPRESA) VALUES (3, 3)",
    "INSERT INTO CONFIG_APP (CODIGO, CODIGO_EMPRESA) VALUES (4, 4)",
    "INSERT INTO CONFIG_APP_TABELAS (CODIGO, CODIGO_CONFIG_APP, IDENTIFICADOR, CODIGO_TABELAS_VERTICAIS) "
    "VALUES (2, 2, 'TB_MOTORISTAS_VERT', 20)",
    "INSERT INTO CONFIG_APP_TABELAS (CODIGO, CODIGO_CONFIG_APP, IDENTIFICADOR, CODIGO_TABELAS_VERTICAIS) "
    "VALUES (3, 3, 'TB_MOTORISTAS_VERT', 30)",
    "INSERT INTO CONFIG_APP_TABELAS (CODIGO, CODIGO_CONFIG_APP, IDENTIFICADOR, CODIGO_TABELAS_VERTICAIS) "
    "VALUES (4, 4, 'TB_MOTORISTAS_VERT', 40)",
    "INSERT INTO CONFIG_APP_TABELAS_CAMPOS (CODIGO, CODIGO_CONFIG_APP_TABELA, IDENTIFICADOR, "
    "CODIGO_CAMPO_TABELA_VERTICAL) VALUES (21, 2, 'CPO_MATRICULA', 3)",
    "INSERT INTO CONFIG_APP_TABELAS_CAMPOS (CODIGO, CODIGO_CONFIG_APP_TABELA, IDENTIFICADOR, "
    "CODIGO_CAMPO_TABELA_VERTICAL) VALUES (22, 2, 'CPO_NOME', 6)",
    "INSERT INTO CONFIG_APP_TABELAS_CAMPOS (CODIGO, CODIGO_CONFIG_APP_TABELA, IDENTIFICADOR, "
    "CODIGO_CAMPO_TABELA_VERTICAL) VALUES (31, 3, 'CPO_MATRICULA', 3)",
    "INSERT INTO CONFIG_APP_TABELAS_CAMPOS (CODIGO, CODIGO_CONFIG_APP_TABELA, IDENTIFICADOR, "
    "CODIGO_CAMPO_TABELA_VERTICAL) VALUES (32, 3, 'CPO_NOME', 6)",
    "INSERT INTO CONFIG_APP_TABELAS_CAMPOS (CODIGO, CODIGO_CONFIG_APP_TABELA, IDENTIFICADOR, "
    "CODIGO_CAMPO_TABELA_VERTICAL, TIPO_CAMPO_TABELA_VERTICAL) VALUES (33, 3, 'CPO_CODIGO_EMPRESA', 8, 2)",
};

std::string Probes() {
  return ScratchCatalogue()
      .Dataset("Controle",
               "SELECT CODIGO, CODIGO_TIPO_TELEMTRIA, DESCRICAO, DATAHORA, IDENTIFICADOR, CODIGO_EMPRESA "
               "FROM AGRUPAMENTO_CONTROLE ORDER BY CODIGO",
               {}, {"CODIGO", "CODIGO_TIPO_TELEMTRIA", "DESCRICAO", "DATAHORA", "IDENTIFICADOR", "CODIGO_EMPRESA"})
      .Dataset("Grupo",
               "SELECT CODIGO, CODIGO_TABELA, CODIGO_CAMPO, VALOR_STRING, VALOR_INTEIRO FROM TAB_VERT_REPOSITORIO "
               "WHERE CODIGO_GRUPO = :G ORDER BY CODIGO_CAMPO",
               {"G"}, {"CODIGO", "CODIGO_TABELA", "CODIGO_CAMPO", "VALOR_STRING", "VALOR_INTEIRO"})
      .Dataset("Repositorio", "SELECT COUNT(*) AS N FROM TAB_VERT_REPOSITORIO", {}, {"N"})
      .Dataset("ControleCount", "SELECT COUNT(*) AS N FROM AGRUPAMENTO_CONTROLE", {}, {"N"})
      .Dataset("Gerador", "SELECT GEN_ID(GEN_TAB_VERT_REPOSITORIO, 0) AS N FROM RDB$DATABASE", {}, {"N"})
      .Command("Apagar",
               "UPDATE TAB_VERT_REPOSITORIO SET VALOR_STRING = 'T' WHERE CODIGO_GRUPO = :G AND CODIGO_CAMPO = 5",
               {"G"})
      .Xml();
}

}  // namespace

void ControlFixture::SetUpTestSuite() {
  database_.emplace(TestDatabase::Embedded(TestDatabase::Content::kSchemaAndDemo));
  database_->Execute(kMoreCompanies);
}

ControlFixture::ControlFixture() : probes_(Probes()) {
  log_folder_ = std::filesystem::temp_directory_path() / ("qit-workers-" + std::to_string(std::random_device{}()));
  std::filesystem::create_directories(log_folder_);
  log_ = std::make_unique<TVoradaLogger>(log_folder_, [] { return kNow; });
  log_->SetPrefixo("log_enviar");
  log_->SetMultiThread(true);
  step_logger_ = [this](const std::string& text) { steps_.push_back(text); };
}

ControlFixture::~ControlFixture() {
  log_.reset();
  std::error_code ignored;
  std::filesystem::remove_all(log_folder_, ignored);
}

void ControlFixture::SetUp() {
  manager_.SetConnections({database_->GpsDefinition()});
  connection_ = manager_.AcquireConnection();
  connection_->BeginTransaction();
}

void ControlFixture::TearDown() {
  if (connection_ && connection_->InTransaction()) connection_->RollbackTransaction();
  connection_ = {};
}

std::unique_ptr<DbDataset> ControlFixture::Metadados(int company) {
  auto dataset = schema_.CreateDataset(*connection_, "Metadados");
  dataset->ParamByName("CODIGO_EMPRESA").SetAsInteger(company);
  dataset->Open();
  dataset->Last();
  dataset->First();
  return dataset;
}

std::vector<std::string> ControlFixture::Rows(std::string_view probe, std::vector<std::pair<std::string, int>> params) {
  auto dataset = probes_.CreateDataset(*connection_, probe);
  for (const auto& [name, value] : params) dataset->ParamByName(name).SetAsInteger(value);
  dataset->Open();
  std::vector<std::string> rows;
  for (; !dataset->Eof(); dataset->Next()) {
    std::string row;
    for (DbField& field : dataset->Fields())
      row += (row.empty() ? "" : "|") + (field.IsNull() ? std::string("<null>") : field.AsString());
    rows.push_back(row);
  }
  return rows;
}

int ControlFixture::Count(std::string_view probe, std::vector<std::pair<std::string, int>> params) {
  auto dataset = probes_.CreateDataset(*connection_, probe);
  for (const auto& [name, value] : params) dataset->ParamByName(name).SetAsInteger(value);
  dataset->Open();
  return dataset->FieldByName("N").AsInteger();
}

void ControlFixture::Run(std::string_view probe, std::vector<std::pair<std::string, int>> params) {
  auto command = probes_.CreateCommand(*connection_, probe);
  for (const auto& [name, value] : params) command->ParamByName(name).SetAsInteger(value);
  command->ExecuteCommand();
}

std::vector<std::string> ControlFixture::LogTexts() {
  log_->Close();
  std::vector<std::string> texts;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(log_folder_)) {
    if (!entry.is_regular_file()) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      // "dd/mm/yy hh:nn:ss.zzz : " comes before every text.
      texts.push_back(line.size() >= 24 ? line.substr(24) : line);
    }
  }
  return texts;
}

}  // namespace qit::testing
