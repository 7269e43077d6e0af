#include "workers/OpenSessions.h"

namespace qit {

void ReadOpenSessions(Schema& schema, DbConnection& connection, std::vector<OpenSession>& sessions) {
  auto open_sessions = schema.CreateDataset(connection, "BuscaSessoesAbertas");
  open_sessions->Open();  // fetches every row
  sessions.clear();
  sessions.reserve(static_cast<std::size_t>(open_sessions->RecordCount()));

  DbField& codigo = open_sessions->FieldByName("CODIGO");
  DbField& codigo_veiculo = open_sessions->FieldByName("CODIGO_VEICULO");
  DbField& data_operacao = open_sessions->FieldByName("DATA_OPERACAO");
  DbField& datahora_ini = open_sessions->FieldByName("DATAHORA_INI");
  DbField& datahora_fim = open_sessions->FieldByName("DATAHORA_FIM");
  DbField& motorista = open_sessions->FieldByName("MOTORISTA");
  DbField& inf_adicional_mot = open_sessions->FieldByName("INF_ADICIONAL_MOT");
  DbField& agrupamento_1 = open_sessions->FieldByName("AGRUPAMENTO_1");
  DbField& inf_adicional_agr_1 = open_sessions->FieldByName("INF_ADICIONAL_AGR_1");
  DbField& agrupamento_2 = open_sessions->FieldByName("AGRUPAMENTO_2");
  DbField& inf_adicional_agr_2 = open_sessions->FieldByName("INF_ADICIONAL_AGR_2");
  DbField& identificador_veiculo = open_sessions->FieldByName("IDENTIFICADOR_VEICULO");
  DbField& codigo_empresa = open_sessions->FieldByName("CODIGO_EMPRESA");

  for (open_sessions->First(); !open_sessions->Eof(); open_sessions->Next()) {
    OpenSession& session = sessions.emplace_back();
    session.CODIGO = codigo.AsInteger();
    session.CODIGO_VEICULO = codigo_veiculo.AsInteger();
    session.DATA_OPERACAO = data_operacao.AsDateTime();
    session.DATAHORA_INI = datahora_ini.AsDateTime();
    session.DATAHORA_FIM = datahora_fim.AsDateTime();
    session.MOTORISTA = motorista.AsString();
    session.INF_ADICIONAL_MOT = inf_adicional_mot.AsString();
    session.AGRUPAMENTO_1 = agrupamento_1.AsString();
    session.INF_ADICIONAL_AGR_1 = inf_adicional_agr_1.AsString();
    session.AGRUPAMENTO_2 = agrupamento_2.AsString();
    session.INF_ADICIONAL_AGR_2 = inf_adicional_agr_2.AsString();
    session.IDENTIFICADOR_VEICULO = identificador_veiculo.AsString();
    session.CODIGO_EMPRESA = codigo_empresa.AsInteger();
  }
  open_sessions->Close();
}

}  // namespace qit
