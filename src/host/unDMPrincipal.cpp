#include "host/unDMPrincipal.h"

#include <fmt/format.h>

#include "common/Errors.h"
#include "host/ArquivoConfiguracao.h"

namespace qit {

namespace {

constexpr const char* kPastaLogs = "Logs/Integradores/Telemetria/";

// A limit of the [Servidor] section; a negative value gives the default.
int LimiteNaoNegativo(const ArquivoConfiguracao& ini, const char* chave, int padrao) {
  const int valor = ini.LerInteiro("Servidor", chave, padrao);
  return valor < 0 ? padrao : valor;
}

void ConfigurarLogger(TVoradaLogger& logger, const char* prefixo) {
  logger.SetMaximoLinhasTela(1000);
  logger.SetLogLevel(stDebug);
  logger.SetPrefixo(prefixo);
  logger.SetDiretorio(kPastaLogs);
  logger.SetMultiThread(true);
  logger.SetMaximoDias(60);
}

std::shared_ptr<const TROHTTPMessageDispatchers> TabelaDeDespacho(TROSOAPMessage& mensagem) {
  auto tabela = std::make_shared<TROHTTPMessageDispatchers>();
  // Not owned by the table: the message is a member of the data module, whose I/O pool (and
  // every connection with it) goes before it.
  tabela->Add({"SOAPMessage", std::shared_ptr<IMessageHandler>(std::shared_ptr<void>(), &mensagem), true,
               "Integracao_Telemetria"});
  return tabela;
}

}  // namespace

TdmPrincipal::TdmPrincipal(PastaPrograma pasta)
    : pasta_(std::move(pasta)),
      Log(pasta_.pasta),
      Log_Atualizar(pasta_.pasta),
      ListaDeEnvio(Log),
      ambiente_(Log, ListaDeEnvio),
      SOAPMessage(fabricas_, SerializableClasses()),
      despachantes_(TabelaDeDespacho(SOAPMessage)),
      HTTPServer(io_pool_, despachantes_) {
  ConfigurarLogger(Log, "log_enviar");
  ConfigurarLogger(Log_Atualizar, "log_atualizar");
  ConnectionManager.SetErrorHandler(
      [this](const std::exception& error, std::string_view location) { Log.RegistrarExcecao(&error, location); });
  fabricas_.Add(NewServicoTelemetriaFactory(ambiente_));
  HTTPServer.SetName("HTTPServer");
  HTTPServer.SetPort(10165);
  HTTPServer.SetTerminateWaitTime(std::chrono::milliseconds(500000));
}

TdmPrincipal::~TdmPrincipal() = default;

void TdmPrincipal::DataModuleCreate() {
  // The connection file comes first; when it cannot be loaded nothing else is done.
  const std::filesystem::path conexao = pasta_.ArquivoConexao();
  if (std::filesystem::exists(conexao)) ConnectionManager.LoadConnectionFile(conexao);
  const int porta = LerConfiguracao();
  // Only a creation that went through sets the main listener's port.
  HTTPServer.SetPort(porta);
}

int TdmPrincipal::LerConfiguracao() {
  ArquivoConfiguracao ini(pasta_.ArquivoConfiguracao());
  // Whatever happens below, the driver flag in effect is logged at the end.
  struct RegistrarGravarMotorista {
    TdmPrincipal& dm;
    ~RegistrarGravarMotorista() {
      dm.Log.Registrar("", false, std::string("Gravar Motorista = ") + (dm.GravarMotorista ? "T" : "F"), stDebug);
    }
  } registrar{*this};

  Log.SetLogLevel(NivelDaConfiguracao(ini.LerTexto("Log", "Level", ""), Log.LogLevel()));
  Qtde_Dias_Remocao = ini.LerInteiro("CONFIGURACOES", "Qtde_Dias_Remocao", 5);
  TempoAguardar_Minutos = ini.LerInteiro("CONFIGURACOES", "TempoAguardar_Minutos", 15);
  const int porta = ini.LerInteiro("Servidor", "Porta", 10165);
  GravarMotorista = ini.LerFlag("CONFIGURACOES", "GravarMotorista", true);
  ConsultarEmpresa = ini.LerFlag("CONFIGURACOES", "ConsultarEmpresa", true);
  Exportar_Telemetria = ini.LerFlag("CONFIGURACOES", "Exportar_Telemetria", false);

  // Every start normalises the file: these keys are written back, in this order.
  ini.GravarInteiro("CONFIGURACOES", "Qtde_Dias_Remocao", Qtde_Dias_Remocao);
  ini.GravarInteiro("CONFIGURACOES", "TempoAguardar_Minutos", TempoAguardar_Minutos);
  ini.GravarFlag("CONFIGURACOES", "GravarMotorista", GravarMotorista);
  ini.GravarFlag("CONFIGURACOES", "ConsultarEmpresa", ConsultarEmpresa);
  ini.GravarFlag("CONFIGURACOES", "Exportar_Telemetria", Exportar_Telemetria);
  ini.GravarInteiro("Servidor", "Porta", porta);

  // Limits of every company listener; read, never written back.
  limites_.read_timeout = std::chrono::seconds(LimiteNaoNegativo(ini, "TempoLimiteLeitura_Segundos", 60));
  limites_.max_body_bytes = static_cast<std::size_t>(LimiteNaoNegativo(ini, "TamanhoMaximoRequisicao_MB", 64)) << 20;
  limites_.max_connections = static_cast<std::size_t>(LimiteNaoNegativo(ini, "MaximoConexoes", 1024));
  ListaDeEnvio.SetMaxRecords(static_cast<std::size_t>(LimiteNaoNegativo(ini, "MaximoRegistrosNaFila", 500000)));

  Quantidade = ini.LerInteiro("Portas", "Quantidade", 0);
  ConstruirServidores(ini);
  return porta;
}

void TdmPrincipal::ConstruirServidores(const ArquivoConfiguracao& ini) {
  // The list has Quantidade + 1 positions; -1 gives an empty list, less is a range error.
  if (Quantidade < -1) throw Exception("Range check error", "ERangeError");
  Servidores.resize(static_cast<std::size_t>(Quantidade + 1));
  const std::vector<PortaEmpresa> portas = LerPortasEmpresa(ini, Quantidade);
  for (int n = 1; n <= Quantidade; ++n) {
    auto& servidor = Servidores[static_cast<std::size_t>(n)];
    servidor = std::make_unique<TROHTTPServer>(io_pool_, despachantes_);
    servidor->SetName(fmt::format("Server{}", n));
    servidor->SetPort(portas[static_cast<std::size_t>(n - 1)].porta);
    servidor->SetTag(portas[static_cast<std::size_t>(n - 1)].codigo_empresa);
    servidor->SetLimits(limites_);
    ambiente_.AdicionarPorta(servidor->Port(), servidor->Tag());
    // From here on calls can arrive on this port while the loop goes on.
    servidor->SetActive(true);
  }
}

}  // namespace qit
