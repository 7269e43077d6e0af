#include "host/unDMPrincipal.h"

#include <fmt/format.h>

#include "common/Errors.h"
#include "host/ArquivoConfiguracao.h"

namespace qit {

namespace {

constexpr const char* kPastaLogs = "Logs/Integradores/Telemetria/";

void ConfigurarLogger(TVoradaLogger& logger, const char* prefixo) {
  logger.SetMaximoLinhasTela(1000);
  logger.SetLogLevel(stDebug);
  logger.SetPrefixo(prefixo);
  logger.SetDiretorio(kPastaLogs);
  logger.SetMultiThread(true);
  logger.SetMaximoDias(60);
}

}  // namespace

TdmPrincipal::TdmPrincipal(PastaPrograma pasta, boost::asio::io_context& io)
    : Log(pasta.pasta), Log_Atualizar(pasta.pasta), pasta_(std::move(pasta)), io_(io) {
  ConfigurarLogger(Log, "log_enviar");
  ConfigurarLogger(Log_Atualizar, "log_atualizar");
}

TdmPrincipal::~TdmPrincipal() = default;

void TdmPrincipal::DataModuleCreate() {
  const int porta = LerConfiguracao();
  // Only a creation that went through sets the main listener's port.
  PortaServidor = porta;
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

  Quantidade = ini.LerInteiro("Portas", "Quantidade", 0);
  ConstruirServidores(ini);
  return porta;
}

void TdmPrincipal::ConstruirServidores(const ArquivoConfiguracao& ini) {
  // The list has Quantidade + 1 positions; -1 gives an empty list, less is a range error.
  if (Quantidade < -1) throw Exception("Range check error", "ERangeError");
  Servidores.assign(static_cast<std::size_t>(Quantidade + 1), std::nullopt);
  for (int n = 1; n <= Quantidade; ++n) {
    ServidorEmpresa servidor;
    servidor.nome = fmt::format("Server{}", n);
    servidor.porta = ini.LerInteiro("Portas", fmt::format("Porta_{}", n), 10165 + n);
    servidor.codigo_empresa = ini.LerInteiro("Portas", fmt::format("CodigoEmpresa_{}", n), 0);
    Servidores[static_cast<std::size_t>(n)] = std::move(servidor);
  }
}

}  // namespace qit
