#include "workers/VerificaControle.h"

#include <memory>

#include "common/Text.h"

namespace qit {

std::string GroupingControl::VerificaControle(DbConnection& connection, const StepLogger& LogarEtapa,
                                              std::string_view type_code, std::string_view identifier_in,
                                              std::string_view description_in, int vehicle_code, int company_code,
                                              TDateTime now, ControlLookups* lookups) {
  MethodScope method(log_, "VerificaControle");
  std::string identifier(Trim(identifier_in));
  const std::string description(Trim(description_in));
  const std::string type(type_code);

  LogarEtapa("Identificador = " + identifier);

  if (identifier.empty() && !description.empty()) {
    // An identifier that was left out is taken from the control record whose description
    // matches; the step texts around the lookup are written whether it succeeds or not.
    LogarEtapa("qryVerificaDescricao Descricao = " + description + " - Tipo_Telemetria = " + type);
    std::unique_ptr<DbDataset> by_description;
    try {
      by_description = schema_.CreateDataset(connection, "AgrupamentosId.Get");
      by_description->ParamByName("DESCRICAO").SetAsString(description);
      by_description->ParamByName("TIPO_TELEMTRIA").SetAsString(type);
      by_description->ParamByName("CODIGO_EMPRESA").SetAsInteger(company_code);
      by_description->Open();
      if (!by_description->IsEmpty()) {
        const std::string stored = by_description->FieldByName("IDENTIFICADOR").AsString();
        LogarEtapa("Identificador := " + stored);
        identifier = stored;
      }
      LogarEtapa("Identificador := " + identifier);
    } catch (...) {
      LogarEtapa("qryVerificaDescricao.Close");
      throw;
    }
    LogarEtapa("qryVerificaDescricao.Close");
    by_description->Close();
  }

  LogarEtapa("qryVerificaRegistro - IDENTIFICADOR_TIPO = " + type + " - IDENTIFICADOR_AGRUPAMENTO = " + identifier);
  const ControlLookups::Key key{type, identifier, vehicle_code, company_code};
  ControlLookups::Found found;
  if (const ControlLookups::Found* known = lookups != nullptr ? lookups->Find(key) : nullptr) {
    found = *known;
  } else {
    auto check = schema_.CreateDataset(connection, "VerificaControle");
    check->ParamByName("IDENTIFICADOR_TIPO").SetAsString(type);
    check->ParamByName("IDENTIFICADOR_AGRUPAMENTO").SetAsString(identifier);
    check->ParamByName("CODIGO_VEICULO").SetAsInteger(vehicle_code);
    check->ParamByName("CODIGOEMPRESA").SetAsInteger(company_code);
    check->OpenBesideHeldWrites();
    check->Last();
    check->First();
    // No row: none of the vehicle's operations has a grouping type with this code.
    if (!check->IsEmpty()) {
      found.type_found = true;
      found.type_row = check->FieldByName("CODIGO_TIPO_AGRUPAMENTO").AsInteger();
      DbField& control = check->FieldByName("CODIGO_AGRUPAMENTO_CONTROLE");
      if (!control.IsNull()) found.control = control.AsInteger();
    }
    if (lookups != nullptr) lookups->Remember(key, found);
  }
  if (!found.type_found) return identifier;

  const int type_row = found.type_row;
  if (!found.control) {
    LogarEtapa("qryProximoCodigoAgrupControle - AgrupamentosId.GetProximoCodigo");
    int code = 0;
    {
      auto next = schema_.CreateDataset(connection, "AgrupamentosId.GetProximoCodigo");
      next->OpenBesideHeldWrites();
      code = next->FieldByName("CODIGO").AsInteger();
    }
    LogarEtapa("Motorista Não Encontrado. Inserindo Agrupamento_Controle - CODIGO = " + std::to_string(code) +
               " - CODIGO_TIPO_TELEMTRIA = " + std::to_string(type_row) + " - DESCRICAO = " + description +
               " - DATAHORA = " + now.ToString() + " - IDENTIFICADOR = " + identifier);
    auto insert = schema_.CreateCommand(connection, "InserirAgrupamentoControle");
    insert->ParamByName("CODIGO").SetAsInteger(code);
    insert->ParamByName("CODIGO_TIPO_TELEMTRIA").SetAsInteger(type_row);
    insert->ParamByName("DESCRICAO").SetAsString(description);
    insert->ParamByName("DATAHORA").SetAsDateTime(now);
    insert->ParamByName("IDENTIFICADOR").SetAsString(identifier);
    insert->ParamByName("CODIGO_EMPRESA").SetAsInteger(company_code);
    insert->ExecuteCommand();
    // The next look-up of this key finds the record just inserted.
    if (lookups != nullptr) lookups->Forget(key);
  } else {
    const int code = *found.control;
    LogarEtapa("Motorista Encontrado. Atualizando Agrupamento_Controle - DESCRICAO = " + description +
               " - DATAHORA = " + now.ToString() + " - CODIGO = " + std::to_string(code));
    auto update = schema_.CreateCommand(connection, "AtualizarAgrupamentoControle");
    update->ParamByName("DESCRICAO").SetAsString(description);
    update->ParamByName("DATAHORA").SetAsDateTime(now);
    update->ParamByName("CODIGO").SetAsInteger(code);
    update->ParamByName("CODIGO_EMPRESA").SetAsInteger(company_code);
    // Many records refresh the same control record: with refreshes deferred, the transaction
    // writes it once, with the last record's values.
    update->ExecuteRefresh({"CODIGO"});
  }
  return identifier;
}

}  // namespace qit
