#pragma once

#include <cstddef>
#include <string>

namespace qit {

// The configuration values the parts of the program run with, read once at start-up from
// the configuration file and only read afterwards. Each keeps its zero value when the
// start-up stopped before reading it; the keys, their defaults and bounds are listed in one
// table beside the code that reads the file.
struct Settings {
  // [Log] Level and LevelAtualizar: the texts of the two logs' levels, as read.
  std::string Level;
  std::string LevelAtualizar;

  // [CONFIGURACOES]
  int Qtde_Dias_Remocao = 0;      // age in days of the integration rows that are purged
  int TempoAguardar_Minutos = 0;  // how long a worker sleeps when nobody wakes it
  bool GravarMotorista = false;
  bool ConsultarEmpresa = false;
  bool Exportar_Telemetria = false;
  // Records the insert worker commits in one transaction, and sessions the processing worker
  // applies in one; kept as read (a value below 1 counts as 1 where it is used).
  int RegistrosPorTransacao = 0;
  int SessoesPorTransacao = 0;
  // The shortest time between the starts of two processing passes, in seconds; 0 or less:
  // passes start whenever they are asked for.
  int IntervaloMinimoProcessamento_Segundos = 0;

  // [Portas]
  int Quantidade = 0;  // company listeners

  // [Servidor] Porta: the main listener's port, kept for compatibility and never opened.
  int Porta = 0;

  // [Servidor] limits; a negative value in the file gives the default, 0 means no limit.
  int TempoLimiteLeitura_Segundos = 0;
  int TempoLimiteRequisicao_Segundos = 0;  // head and body of a request must arrive within it
  int TamanhoMaximoRequisicao_MB = 0;
  int MaximoConexoes = 0;
  int MaximoConexoesPorCliente = 0;  // open connections of one client address on one port
  int MemoriaMaximaRequisicoes_MB = 0;
  int MaximoRegistrosNaFila = 0;
  int MemoriaMaximaFila_MB = 0;
  // How long the insert worker goes on through the queue when the service stops.
  int TempoEsvaziarFila_Segundos = 0;
  // How long the workers' transactions wait for a lock another transaction holds, and how
  // long one step of a worker's pass may last before the health check calls it stalled.
  int TempoEsperaBloqueio_Segundos = 0;
  int TempoMaximoEtapa_Segundos = 0;
  // [Servidor] FilaDuravel: the send queue is kept on disk (folder "Fila"), so that lists
  // answered survive a crash; without it the queue lives in memory only.
  bool FilaDuravel = false;
  // [Servidor] PortaMetricas: the port of the metrics and health endpoint, 0 for none;
  // EnderecoMetricas: the one address it is bound to.
  int PortaMetricas = 0;
  std::string EnderecoMetricas;

  bool operator==(const Settings&) const = default;
};

// Megabytes of a setting in bytes.
constexpr std::size_t MegaBytes(int megabytes) { return static_cast<std::size_t>(megabytes) << 20; }

}  // namespace qit
