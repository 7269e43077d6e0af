#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/DateTime.h"
#include "data/DbConnection.h"
#include "data/Schema.h"

namespace qit {

// An open integration session as BuscaSessoesAbertas reads it from TELEMETRIA_INTEGRACAO
// (null texts read as empty, null date-times as the zero date-time, a null number as 0).
struct OpenSession {
  std::int32_t CODIGO = 0;
  std::int32_t CODIGO_VEICULO = 0;
  TDateTime DATA_OPERACAO;
  TDateTime DATAHORA_INI;
  TDateTime DATAHORA_FIM;
  std::string MOTORISTA;
  std::string INF_ADICIONAL_MOT;
  std::string AGRUPAMENTO_1;
  std::string INF_ADICIONAL_AGR_1;
  std::string AGRUPAMENTO_2;
  std::string INF_ADICIONAL_AGR_2;
  std::string IDENTIFICADOR_VEICULO;
  std::int32_t CODIGO_EMPRESA = 0;
  std::int32_t CODIGO_OPERACAO = 0;  // never filled
};

// Every open session, in the order the database gives them, read in the connection's
// transaction (started when there is none) into `sessions` (its old content goes).
void ReadOpenSessions(Schema& schema, DbConnection& connection, std::vector<OpenSession>& sessions);

}  // namespace qit
