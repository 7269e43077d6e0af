#include "workers/PassLookups.h"

namespace qit {

std::optional<int> PassLookups::Vehicle(DbConnection& connection, const std::string& identifier, int company_code) {
  // Without ConsultarEmpresa the company plays no part in the query, nor in the key.
  const int company = settings_.ConsultarEmpresa ? company_code : 0;
  const auto known = vehicles_.find({identifier, company});
  if (known != vehicles_.end()) return known->second;

  std::unique_ptr<DbDataset> veiculo;
  if (settings_.ConsultarEmpresa) {
    veiculo = schema_.CreateDataset(connection, "VerificaVeiculo");
    veiculo->ParamByName("IDENTIFICADOR").SetAsString(identifier);
    veiculo->ParamByName("CODIGO_EMPRESA").SetAsInteger(company_code);
  } else {
    veiculo = schema_.CreateDataset(connection, "VerificaVeiculo_SemEmpresa");
    veiculo->ParamByName("IDENTIFICADOR").SetAsString(identifier);
  }
  veiculo->OpenBesideHeldWrites();
  veiculo->Last();
  veiculo->First();
  std::optional<int> code;
  if (!veiculo->IsEmpty()) code = veiculo->FieldByName("CODIGO").AsInteger();
  vehicles_.emplace(std::pair{identifier, company}, code);
  return code;
}

DbDataset& PassLookups::Metadados(DbConnection& connection, int company_code) {
  std::unique_ptr<DbDataset>& metadados = metadados_[company_code];
  if (!metadados) {
    auto opened = schema_.CreateDataset(connection, "Metadados");
    opened->ParamByName("CODIGO_EMPRESA").SetAsInteger(company_code);
    opened->OpenBesideHeldWrites();
    opened->Last();
    opened->First();
    metadados = std::move(opened);
  }
  return *metadados;
}

}  // namespace qit
