#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "data/ConnectionManager.h"
#include "data/Schema.h"
#include "host/AmbienteEnviar.h"
#include "logging/VoradaLogger.h"
#include "queue/MemorySendQueue.h"
#include "service/ROServer.h"
#include "transport/HttpIoPool.h"
#include "transport/TROHTTPServer.h"
#include "transport/soap/TROSOAPMessage.h"

namespace qit {

class ArquivoConfiguracao;

// Where the program finds its files: the executable's folder (or --home) and the name the
// configuration (".dat") and connection (".con") files take.
struct PastaPrograma {
  std::filesystem::path pasta;
  std::string nome = "QueltoIntegradorTelemetria";

  std::filesystem::path ArquivoConfiguracao() const { return pasta / (nome + ".dat"); }
  std::filesystem::path ArquivoConexao() const { return pasta / (nome + ".con"); }
};

// The main data module: the single owner of every component the service runs on. Its
// creation handler reads the configuration and opens the company ports.
//
// Members are declared in dependency order, so that they are destroyed in the reverse:
// the listeners close (and wait for their calls) before the handler, the queue and the
// loggers those calls use go away.
class TdmPrincipal {
 public:
  explicit TdmPrincipal(PastaPrograma pasta);
  ~TdmPrincipal();
  TdmPrincipal(const TdmPrincipal&) = delete;
  TdmPrincipal& operator=(const TdmPrincipal&) = delete;

  // The creation handler. An error stops it where it happened: what was done stays done,
  // what comes after is not done. The error is raised to the caller.
  void DataModuleCreate();

  const PastaPrograma& Pasta() const { return pasta_; }

  // Configuration values, read once at start-up. They keep their zero values when the
  // creation handler stops before reading them.
  int Qtde_Dias_Remocao = 0;
  int TempoAguardar_Minutos = 0;
  bool GravarMotorista = false;
  bool ConsultarEmpresa = false;
  bool Exportar_Telemetria = false;
  int Quantidade = 0;

 private:
  PastaPrograma pasta_;

 public:
  TVoradaLogger Log;
  TVoradaLogger Log_Atualizar;
  // The fleet database: connection definitions and pool, and the statement catalogue.
  qit::ConnectionManager ConnectionManager;
  qit::Schema Schema;
  // The send queue: Enviar hands every list it receives to it.
  MemorySendQueue ListaDeEnvio;

 private:
  AmbienteEnviar ambiente_;
  TROClassFactoryList fabricas_;

 public:
  // The SOAP message handler that every listener dispatches "Integracao_Telemetria" to.
  TROSOAPMessage SOAPMessage;

 private:
  // path "Integracao_Telemetria" -> SOAPMessage, shared by every listener
  std::shared_ptr<const TROHTTPMessageDispatchers> despachantes_;
  HttpIoPool io_pool_;
  HttpServerLimits limites_;

 public:
  // The main listener: it holds the dispatcher table and, once the creation handler went
  // through, the [Servidor] Porta value. It is never activated.
  TROHTTPServer HTTPServer;
  // The company listeners at positions 1..Quantidade (position 0 is never used); a position
  // stays empty when the building stopped before it.
  std::vector<std::unique_ptr<TROHTTPServer>> Servidores;

 private:
  int LerConfiguracao();  // returns [Servidor] Porta
  void ConstruirServidores(const ArquivoConfiguracao& ini);
};

}  // namespace qit
