#pragma once

#include <chrono>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/ServiceMetrics.h"
#include "common/Settings.h"
#include "data/ConnectionManager.h"
#include "data/Schema.h"
#include "host/CompanyListeners.h"
#include "host/EnviarEnvironment.h"
#include "host/StopList.h"
#include "host/ProcessMetrics.h"
#include "logging/VoradaLogger.h"
#include "queue/DurableSendQueue.h"
#include "queue/MemorySendQueue.h"
#include "contract/ROServer.h"
#include "transport/HttpIoPool.h"
#include "transport/HttpMessage.h"
#include "transport/TROHTTPServer.h"
#include "soap/TROSOAPMessage.h"
#include "workers/DriverCache.h"
#include "workers/unInserirIntegracao.h"
#include "workers/unProcessaIntegracao.h"

namespace qit {

class IniFile;

// Where the program finds its files: the executable's folder (or --home) and the
// executable's file name, whose extension the configuration (".dat") and connection (".con")
// files take in its place ("Quelto.bin" reads "Quelto.dat"; a name without an extension
// gets ".dat" appended).
struct ProgramFolder {
  std::filesystem::path folder;
  std::string name = "QueltoIntegradorTelemetria";

  std::filesystem::path ConfigurationFile() const { return WithExtension(".dat"); }
  std::filesystem::path ConnectionFile() const { return WithExtension(".con"); }

 private:
  std::filesystem::path WithExtension(const char* extension) const {
    return folder / std::filesystem::path(name).replace_extension(extension);
  }
};

// The main data module: the single owner of every component the service runs on. Its
// creation handler reads the configuration, opens the company ports and arms the two
// start-up timers on the main loop, which load the driver cache and start the workers; Stop
// takes everything down again, in order. The parts it builds get what they use (the
// settings, a logger, a side of the queue, the pool), never the data module itself.
class TdmPrincipal {
 public:
  // `main_loop` runs the timers; it is the loop of the thread that creates and stops the
  // module.
  TdmPrincipal(ProgramFolder folder, boost::asio::io_context& main_loop);
  // Stops with a short deadline when nobody did.
  ~TdmPrincipal();
  TdmPrincipal(const TdmPrincipal&) = delete;
  TdmPrincipal& operator=(const TdmPrincipal&) = delete;

  // The creation handler. An error stops it where it happened: what was done stays done,
  // what comes after is not done. The error is raised to the caller.
  void DataModuleCreate();
  // Called during the creation with a state line while a long step goes on (the send queue's
  // recovery, segment by segment), so that whoever started the program knows it is alive.
  void SetStartProgress(std::function<void(std::string_view status)> progress) { start_progress_ = std::move(progress); }

  // The orderly stop, on the thread that created the module; once only, later calls do
  // nothing. Each part registers its stop as it starts, and the parts that started stop, the
  // last started first; that gives this order: the metrics listener closes; the company listeners stop accepting, let their idle
  // connections go and wait until `deadline` for the calls being handled; the serving
  // threads end, so no request code runs afterwards (connections still open then are
  // dropped with them); the timers are cancelled; the insert worker finishes its record and
  // goes on through the queue for [Servidor] TempoEsvaziarFila_Segundos, what is left is
  // logged; the processing worker finishes its session; the connection pool shuts (its
  // waits end, idle connections are closed); the logs are closed. No worker is waited for
  // past its time (the insert worker's drain) and ten seconds more: one that is still held
  // in a statement then is logged and left behind, and Stop returns false; the process must
  // then end at once, without freeing the module (its records stay in the queue on disk).
  bool Stop(std::chrono::steady_clock::time_point deadline);

  // The parts that started and will stop, in the order they started.
  std::vector<std::string> StartedParts() const { return stops_.Names(); }

  // Wakes the processing worker, once it runs; the insert worker calls it after every pass.
  void AcordarProcessamento();

  const ProgramFolder& Folder() const { return folder_; }
  // The configuration values in effect; zero values when the creation stopped before them.
  const qit::Settings& Settings() const { return settings_; }
  TVoradaLogger& Log() { return log_; }
  TVoradaLogger& Log_Atualizar() { return log_atualizar_; }
  qit::ConnectionManager& ConnectionManager() { return connection_manager_; }
  qit::Schema& Schema() { return schema_; }
  // The send queue in memory: the records waiting and those the insert worker holds.
  MemorySendQueue& ListaDeEnvio() { return send_queue_; }
  // The send queue Enviar hands every list to and the insert worker takes them from: the
  // queue in memory and, with [Servidor] FilaDuravel, its journal on disk.
  DurableSendQueue& DurableQueue() { return durable_queue_; }
  // The main listener: it holds the dispatcher table and, once the creation handler went
  // through, the [Servidor] Porta value. It is never activated.
  const TROHTTPServer& HTTPServer() const { return http_server_; }
  // The company listeners at positions 1..Quantidade (position 0 is never used); a position
  // stays empty when the building stopped before it.
  const std::vector<std::unique_ptr<TROHTTPServer>>& Servidores() const { return company_listeners_.Servers(); }
  // The driver cache, and the workers once the activation timer started them (else null).
  DriverCache& cdsMotoristas() { return drivers_; }
  TinserirIntegracao* InserirIntegracao() { return inserir_integracao_.get(); }
  TProcessaIntegracao* ProcessaIntegracao() { return processa_integracao_.get(); }
  // What the service counts, and the listener of [Servidor] PortaMetricas that serves it
  // with the process metrics and the health answer (inactive when the key is 0 or the port
  // could not be opened).
  const ServiceMetrics& Metrics() const { return metrics_; }
  const TROHTTPServer& MetricsServer() const { return metrics_server_; }

  // The workers whose current step has lasted longer than [Servidor]
  // TempoMaximoEtapa_Segundos (0: never), one "<worker>: sem avanço há N s, etapa: <step>" each,
  // joined by "; "; empty when none. Any thread may ask.
  std::string StalledWorkers() const;

 private:
  void ApplyLimits();
  // Opens the metrics listener when [Servidor] PortaMetricas asks for one; a port that
  // cannot be opened is logged and the service goes on without it.
  void OpenMetricsListener() noexcept;
  // The health answer of the metrics listener: empty when every company port is open, no
  // worker is stalled and the last database attempt went through, else the reason.
  std::string HealthProblem() const;
  void ArmTimers();
  void tmrCarregarCDSTimer();
  void tmrAtivacaoTimer();
  // false when a worker was left behind.
  bool StopWorkers();

  ProgramFolder folder_;
  std::function<void(std::string_view status)> start_progress_;
  qit::Settings settings_;
  ServiceMetrics metrics_;
  ProcessMetrics process_metrics_;
  TVoradaLogger log_;
  TVoradaLogger log_atualizar_;
  qit::ConnectionManager connection_manager_;
  qit::Schema schema_;
  MemorySendQueue send_queue_;
  DurableSendQueue durable_queue_;
  EnviarEnvironment enviar_environment_;
  TROClassFactoryList factories_;
  // The SOAP message handler that every listener dispatches "Integracao_Telemetria" to.
  TROSOAPMessage soap_message_;
  std::shared_ptr<const TROHTTPMessageDispatchers> dispatchers_;
  HttpServerLimits listener_limits_;
  HttpIoPool io_pool_;
  TROHTTPServer http_server_;
  CompanyListeners company_listeners_;
  TROHTTPServer metrics_server_;
  DriverCache drivers_;
  // What each worker's pass is doing, for the health answer and the status line.
  StepWatch insert_steps_;
  StepWatch processing_steps_;
  boost::asio::steady_timer tmrAtivacao;
  boost::asio::steady_timer tmrCarregarCDS;
  std::unique_ptr<TProcessaIntegracao> processa_integracao_;
  std::unique_ptr<TinserirIntegracao> inserir_integracao_;
  // Each part's stop, registered as it starts.
  StopList stops_;
};

}  // namespace qit
