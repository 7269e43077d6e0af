#include "workers/VerificaControle_Tab_Vert.h"

#include <memory>
#include <optional>

#include "common/Text.h"

namespace qit {
namespace {

// Where a configured field lives in the vertical storage.
struct FieldPlace {
  int table = 0;  // CODIGO_TABELAS_VERTICAIS
  int field = 0;  // CODIGO_CAMPO_TABELA_VERTICAL
};

// The definition row of `name` in Metadados (an exact match on IDENTIFICADOR), or nothing
// when the company does not configure that field.
std::optional<FieldPlace> Configured(DbDataset& Metadados, std::string_view name) {
  for (Metadados.First(); !Metadados.Eof(); Metadados.Next()) {
    if (Metadados.FieldByName("IDENTIFICADOR").AsString() == name)
      return FieldPlace{Metadados.FieldByName("CODIGO_TABELAS_VERTICAIS").AsInteger(),
                        Metadados.FieldByName("CODIGO_CAMPO_TABELA_VERTICAL").AsInteger()};
  }
  return std::nullopt;
}

// A value column a row does not use is written as NULL; readers of text fields read the
// text column and readers of integer fields the integer column.
void SetValue(DbParam& param, const std::optional<std::string>& text) {
  if (text) param.SetAsString(*text);
  else param.SetNull();
}
void SetValue(DbParam& param, std::optional<int> integer) {
  if (integer) param.SetAsInteger(*integer);
  else param.SetNull();
}

// Draws a block of six row codes; the result is the highest of them.
int NextCodeBlock(Schema& schema, DbConnection& connection) {
  auto next = schema.CreateDataset(connection, "AgrupamentosId_TabVert.GetProximoCodigo");
  next->OpenBesideHeldWrites();
  return next->FieldByName("CODIGO").AsInteger();
}

}  // namespace

std::string DriverRegistration::VerificaControle_Tab_Vert(DbConnection& connection, DbDataset& Metadados,
                                                          const StepLogger& LogarEtapa, std::string_view identifier_in,
                                                          std::string_view description_in, int company_code,
                                                          TDateTime now) {
  MethodScope method(log_, "VerificaControle_Tab_Vert");
  const std::string identifier(Trim(identifier_in));
  const std::string description(Trim(description_in));
  const std::string company = std::to_string(company_code);

  LogarEtapa("Identificador = " + identifier);

  const std::optional<DriverRecord> known = cache_.Find(identifier, company_code, settings_.ConsultarEmpresa);
  if (!known) {
    const int group = NextCodeBlock(schema_, connection);
    LogarEtapa("Motorista Não Encontrado. Inserir CODIGO = " + std::to_string(group) + " - DESCRICAO = " + description +
               " - DATAHORA = " + now.ToString() + " - IDENTIFICADOR = " + identifier);

    // The six codes group - 5 .. group belong to this driver. A seventh field, the company,
    // takes a code of its own from a further block when the sixth code is already taken
    // by CPO_MINERADO, so no two rows of the driver share a code.
    const bool minerado_configured = Configured(Metadados, "CPO_MINERADO").has_value();
    struct NewField {
      std::string_view name;
      int code_offset;  // from `group`
      std::optional<std::string> text;
      std::optional<int> integer;
      std::string step;  // empty: no step text
    };
    const NewField fields[] = {
        {"CPO_CRACHA", -5, std::nullopt, std::nullopt, "Motorista Não Encontrado. Inserir CPO_CRACHA = Null"},
        {"CPO_MATRICULA", -4, identifier, std::nullopt, "Motorista Não Encontrado. Inserir CPO_MATRICULA = " + identifier},
        {"CPO_STATUS", -3, "I", std::nullopt, "Motorista Não Encontrado. Inserir CPO_STATUS = I"},
        {"CPO_APAGADO", -2, "F", std::nullopt, {}},
        {"CPO_NOME", -1, description, std::nullopt, "Motorista Não Encontrado. Inserir CPO_NOME = " + description},
        {"CPO_MINERADO", 0, "F", std::nullopt, "Motorista Não Encontrado. Inserir CPO_MINERADO = F"},
        {"CPO_CODIGO_EMPRESA", 0, std::nullopt, company_code,
         "Motorista Não Encontrado. Inserir CPO_CODIGO_EMPRESA = " + company},
    };
    std::unique_ptr<DbCommand> insert;
    for (const NewField& field : fields) {
      const std::optional<FieldPlace> place = Configured(Metadados, field.name);
      if (!place) continue;
      if (!field.step.empty()) LogarEtapa(field.step);
      const bool own_block = field.name == "CPO_CODIGO_EMPRESA" && minerado_configured;
      const int code = own_block ? NextCodeBlock(schema_, connection) : group + field.code_offset;
      if (!insert) insert = schema_.CreateCommand(connection, "InserirMotorista_TabVert");
      insert->ParamByName("CODIGO").SetAsInteger(code);
      insert->ParamByName("CODIGO_GRUPO").SetAsInteger(group);
      insert->ParamByName("CODIGO_TABELA").SetAsInteger(place->table);
      insert->ParamByName("CODIGO_CAMPO").SetAsInteger(place->field);
      SetValue(insert->ParamByName("VALOR_STRING"), field.text);
      SetValue(insert->ParamByName("VALOR_INTEIRO"), field.integer);
      insert->ExecuteCommand();
    }
    cache_.AdicionarMotoristaTempoReal(group, company_code, identifier);
    return identifier;
  }

  const int group = known->CODIGO;
  LogarEtapa("Atualizando Motorista = " + identifier);
  struct RefreshedField {
    std::string_view name;
    std::optional<std::string> text;
    std::optional<int> integer;
    std::string step;
  };
  const std::string at = " - DATAHORA = " + now.ToString();
  const RefreshedField fields[] = {
      {"CPO_APAGADO", "F", std::nullopt,
       "Motorista Encontrado. Atualizando CPO_APAGADO = F - DESCRICAO = " + description + at},
      {"CPO_NOME", description, std::nullopt, "Motorista Encontrado. Atualizando CPO_NOME = " + description + at},
      {"CPO_CODIGO_EMPRESA", std::nullopt, company_code,
       "Motorista Encontrado. Atualizando CPO_CODIGO_EMPRESA = " + company + " - DESCRICAO" + description + at},
  };
  std::unique_ptr<DbCommand> update;
  for (const RefreshedField& field : fields) {
    const std::optional<FieldPlace> place = Configured(Metadados, field.name);
    if (!place) continue;
    LogarEtapa(field.step);
    if (!update) update = schema_.CreateCommand(connection, "AtualizarMotorista_TabVert");
    SetValue(update->ParamByName("VALOR"), field.text);
    SetValue(update->ParamByName("VALOR_INTEIRO"), field.integer);
    update->ParamByName("CODIGO_GRUPO").SetAsInteger(group);
    update->ParamByName("CODIGO_TABELA").SetAsInteger(place->table);
    update->ParamByName("CODIGO_CAMPO").SetAsInteger(place->field);
    update->ExecuteRefresh({"CODIGO_GRUPO", "CODIGO_TABELA", "CODIGO_CAMPO"});
  }
  return identifier;
}

}  // namespace qit
