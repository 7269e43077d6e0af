#include "host/unDMPrincipal.h"

#include <algorithm>
#include <cstdlib>

#include <boost/asio/ip/address.hpp>
#include <fmt/format.h>

#include "common/Errors.h"
#include "common/Text.h"
#include "host/IniFile.h"
#include "host/SettingsTable.h"
#include "transport/MetricsEndpoint.h"
#include "transport/RequestMemoryBudget.h"

namespace qit {

namespace {

constexpr const char* kLogFolder = "Logs/Integradores/Telemetria/";

// How long the destructor's stop waits for open connections, when nobody stopped before.
constexpr std::chrono::seconds kBackstopStopTime{5};

// How long past its own time (the drain, for the insert worker) a stop waits for a worker
// to finish the statement it is in.
constexpr std::chrono::seconds kWorkerStopTime{10};

constexpr std::string_view kInsertWorkerName = "inserção";
constexpr std::string_view kProcessingWorkerName = "processamento";

// Both start-up timers fire once, this long after the creation.
constexpr std::chrono::milliseconds kTimerInterval{5000};

// Requests to the metrics listener carry no body worth reading.
constexpr std::size_t kMetricsMaxBodyBytes = 64 * 1024;

void ConfigureLogger(TVoradaLogger& logger, const char* prefix) {
  logger.SetMaximoLinhasTela(1000);
  logger.SetLogLevel(stDebug);
  logger.SetPrefixo(prefix);
  logger.SetDiretorio(kLogFolder);
  logger.SetMultiThread(true);
  logger.SetMaximoDias(60);
}

// Whether only this machine reaches a listener bound to `text`: 127.0.0.0/8, ::1, or one of
// them written as an IPv4-mapped IPv6 address. The any-addresses 0.0.0.0 and :: are not.
bool IsLoopback(const std::string& text) {
  const boost::asio::ip::address address = boost::asio::ip::make_address(text);
  if (address.is_v6() && address.to_v6().is_v4_mapped())
    return boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, address.to_v6()).is_loopback();
  return address.is_loopback();
}

std::shared_ptr<const TROHTTPMessageDispatchers> DispatcherTable(TROSOAPMessage& message) {
  auto table = std::make_shared<TROHTTPMessageDispatchers>();
  // Not owned by the table: the message is a member of the data module, whose Stop ends
  // every serving thread, so no request reaches it afterwards.
  table->Add({"SOAPMessage", std::shared_ptr<IMessageHandler>(std::shared_ptr<void>(), &message), true,
              "Integracao_Telemetria"});
  return table;
}

}  // namespace

TdmPrincipal::TdmPrincipal(ProgramFolder folder, boost::asio::io_context& main_loop)
    : folder_(std::move(folder)),
      log_(folder_.folder),
      log_atualizar_(folder_.folder),
      send_queue_(log_),
      durable_queue_(send_queue_, log_),
      enviar_environment_(log_, durable_queue_, metrics_),
      soap_message_(factories_, SerializableClasses()),
      dispatchers_(DispatcherTable(soap_message_)),
      http_server_(io_pool_, dispatchers_),
      company_listeners_(io_pool_, dispatchers_),
      metrics_server_(io_pool_, std::make_shared<TROHTTPMessageDispatchers>()),
      drivers_(log_, &metrics_),
      tmrAtivacao(main_loop),
      tmrCarregarCDS(main_loop) {
  ConfigureLogger(log_, "log_enviar");
  ConfigureLogger(log_atualizar_, "log_atualizar");
  // Failures no caller can be told of, from the pool and from the listeners, go to the log.
  const auto to_log = [this](std::string_view location, const std::exception& error) {
    log_.RegistrarExcecao(&error, location);
  };
  connection_manager_.SetErrorHandler(to_log);
  io_pool_.SetErrorSink(to_log);
  factories_.Add(NewServicoTelemetriaFactory(enviar_environment_));
  http_server_.SetName("HTTPServer");
  http_server_.SetPort(kDefaultMainPort);
  http_server_.SetTerminateWaitTime(std::chrono::milliseconds(500000));
  // The parts below stop last, in this order: the connections given back, the logs closed.
  stops_.Add("logs", [this](auto) {
    log_.Close();
    log_atualizar_.Close();
    return true;
  });
  stops_.Add("connection pool", [this](auto) {
    connection_manager_.Shutdown();
    return true;
  });
}

TdmPrincipal::~TdmPrincipal() {
  // A worker left behind still uses what the members below are: nothing may be freed.
  if (!Stop(std::chrono::steady_clock::now() + kBackstopStopTime)) std::_Exit(EXIT_FAILURE);
}

void TdmPrincipal::DataModuleCreate() {
  // The connection file comes first; when it cannot be loaded nothing else is done.
  const std::filesystem::path connection_file = folder_.ConnectionFile();
  if (std::filesystem::exists(connection_file)) connection_manager_.LoadConnectionFile(connection_file);

  IniFile ini(folder_.ConfigurationFile());
  // Whatever happens below, the driver flag in effect is logged at the end.
  struct LogDriverFlag {
    TdmPrincipal& dm;
    ~LogDriverFlag() {
      dm.log_.Registrar("", false, std::string("Gravar Motorista = ") + (dm.settings_.GravarMotorista ? "T" : "F"),
                        stDebug);
    }
  } log_driver_flag{*this};

  settings_ = ReadSettings(ini);
  log_.SetLogLevel(ConfigurationLevel(settings_.Level, log_.LogLevel()));
  // The processing worker's log writes its step lines (three a session a pass) only when
  // asked for; by default only a pass's errors.
  log_atualizar_.SetLogLevel(ConfigurationLevel(settings_.LevelAtualizar, log_atualizar_.LogLevel()));
  ApplyLimits();
  WriteBackSettings(ini, settings_);
  // The journal closes after the workers stopped, so that the done marks the insert worker
  // left are written; the workers stop once the listeners and their serving threads have.
  // A disk that holds a list past the deadline keeps the journal, and what the list's answer
  // reaches, from being freed.
  stops_.Add("send queue", [this](auto deadline) { return durable_queue_.Close(deadline); });
  stops_.Add("workers", [this](auto) { return StopWorkers(); });
  // The lists of an earlier run that were not written are queued again before any call can
  // arrive.
  if (settings_.FilaDuravel) {
    SendJournalOptions options;
    options.reading = [this](std::size_t segment, std::size_t segments) {
      if (start_progress_)
        start_progress_(fmt::format("Recuperando a fila de envio: segmento {} de {}", segment, segments));
    };
    metrics_.CountRecords(ServiceMetrics::Records::kRecovered,
                          durable_queue_.Open(folder_.folder / "Fila", std::move(options)));
  }
  // Once the listeners stopped accepting, the serving threads end, so that no request code
  // runs afterwards (connections still open then are dropped with them).
  stops_.Add("serving threads", [this](auto) {
    io_pool_.Stop();
    return true;
  });
  stops_.Add("company listeners", [this](auto deadline) {
    company_listeners_.Close(deadline, log_);
    return true;
  });
  company_listeners_.Open(ini, settings_.Quantidade, listener_limits_,
                          [this](int port, int company_code) { enviar_environment_.AddPort(port, company_code); });
  // Only a creation that went through opens the metrics listener, sets the main listener's
  // port and arms the timers: after a failed one the process ends.
  OpenMetricsListener();
  http_server_.SetPort(settings_.Porta);
  ArmTimers();
}

void TdmPrincipal::ArmTimers() {
  stops_.Add("timers", [this](auto) {
    tmrAtivacao.cancel();
    tmrCarregarCDS.cancel();
    return true;
  });
  tmrCarregarCDS.expires_after(kTimerInterval);
  tmrCarregarCDS.async_wait([this](const boost::system::error_code& error) {
    if (!error) tmrCarregarCDSTimer();
  });
  tmrAtivacao.expires_after(kTimerInterval);
  tmrAtivacao.async_wait([this](const boost::system::error_code& error) {
    if (!error) tmrAtivacaoTimer();
  });
}

void TdmPrincipal::tmrCarregarCDSTimer() { drivers_.CarregarCDS(connection_manager_, schema_); }

void TdmPrincipal::tmrAtivacaoTimer() {
  try {
    processa_integracao_ = std::make_unique<TProcessaIntegracao>(settings_, connection_manager_, schema_,
                                                                 log_atualizar_, &metrics_, &processing_steps_);
    if (!inserir_integracao_) {
      inserir_integracao_ = std::make_unique<TinserirIntegracao>(
          TinserirIntegracao::Parts{.settings = settings_,
                                    .pool = connection_manager_,
                                    .schema = schema_,
                                    .Log = log_,
                                    .queue = durable_queue_,
                                    .cdsMotoristas = drivers_,
                                    .AcordarProcessamento = [this] { AcordarProcessamento(); },
                                    .rejected_folder = folder_.folder / "Rejeitados",
                                    .metrics = &metrics_,
                                    .steps = &insert_steps_});
      send_queue_.SetWakeUp([worker = inserir_integracao_.get()] { worker->Acordar(); });
      // Lists that arrived before the worker existed are written by its first pass.
      if (send_queue_.WaitingRecords() > 0) inserir_integracao_->Acordar();
    }
  } catch (const std::exception& error) {
    log_.RegistrarExcecaoPilha(&error, true, false);
  }
}

void TdmPrincipal::AcordarProcessamento() {
  if (processa_integracao_) processa_integracao_->Acordar();
}

void TdmPrincipal::ApplyLimits() {
  listener_limits_.read_timeout = std::chrono::seconds(settings_.TempoLimiteLeitura_Segundos);
  listener_limits_.request_timeout = std::chrono::seconds(settings_.TempoLimiteRequisicao_Segundos);
  listener_limits_.max_body_bytes = MegaBytes(settings_.TamanhoMaximoRequisicao_MB);
  listener_limits_.max_connections = static_cast<std::size_t>(settings_.MaximoConexoes);
  listener_limits_.max_connections_per_client = static_cast<std::size_t>(settings_.MaximoConexoesPorCliente);
  // One budget for the bodies being read on every company port together.
  listener_limits_.request_memory =
      std::make_shared<RequestMemoryBudget>(MegaBytes(settings_.MemoriaMaximaRequisicoes_MB));
  // No transaction of the workers waits longer than this for another's lock: a lock time-out
  // is the database's failure, and the work is tried again on a later pass.
  connection_manager_.SetTransactionDefaults({.lock_timeout_seconds = settings_.TempoEsperaBloqueio_Segundos});
  send_queue_.SetMaxRecords(static_cast<std::size_t>(settings_.MaximoRegistrosNaFila));
  send_queue_.SetMaxBytes(MegaBytes(settings_.MemoriaMaximaFila_MB));
  // A list read from a request stops at what the queue can take, and its records at the
  // request's own size limit, however often its references repeat a record.
  soap_message_.SetArrayReadLimits(
      SendQueueReadLimits(send_queue_, MegaBytes(settings_.TamanhoMaximoRequisicao_MB)));
}

void TdmPrincipal::OpenMetricsListener() noexcept {
  if (settings_.PortaMetricas == 0) return;
  try {
    HttpServerLimits limits = listener_limits_;
    limits.max_body_bytes = kMetricsMaxBodyBytes;
    metrics_server_.SetName("Metricas");
    metrics_server_.SetPort(settings_.PortaMetricas);
    metrics_server_.SetBindAddress(settings_.EnderecoMetricas);
    metrics_server_.SetLimits(limits);
    // Read on a serving thread: the company listeners are all built before the metrics
    // listener opens, and the stop closes the metrics listener before it touches them.
    metrics_.SetGaugeReaders({
        .queued_records = [this] { return std::uint64_t{send_queue_.WaitingRecords()}; },
        .journal_bytes = [this] { return std::uint64_t{durable_queue_.JournalBytes()}; },
        .http_connections_open = [this] { return company_listeners_.OpenConnections(); },
    });
    // First to stop, so that no scrape reads the listeners, the queue or the journal while
    // they stop.
    stops_.Add("metrics listener", [this](auto deadline) {
      if (!metrics_server_.Deactivate(deadline))
        log_.Registrar("", false, "Metricas: conexões ainda abertas no prazo da parada", stError);
      return true;
    });
    metrics_server_.SetRequestHandler(
        MetricsEndpoint({&metrics_, &process_metrics_}, [this] { return HealthProblem(); }));
    metrics_server_.SetActive(true);
    log_.Registrar("", false,
                   fmt::format("Métricas e saúde em {}:{} (/metrics, /health)", settings_.EnderecoMetricas,
                               metrics_server_.BoundPort()),
                   stError);
    // The counters and the health answer tell more about the installation than callers need.
    if (!IsLoopback(settings_.EnderecoMetricas))
      log_.Registrar("", false,
                     fmt::format("Aviso: métricas e saúde acessíveis pela rede em {}:{} (EnderecoMetricas=127.0.0.1 "
                                 "as deixa só neste computador)",
                                 settings_.EnderecoMetricas, metrics_server_.BoundPort()),
                     stError);
  } catch (const std::exception& error) {
    log_.RegistrarExcecao(&error, "PortaMetricas", true);
  }
}

std::string TdmPrincipal::HealthProblem() const {
  // Read on a serving thread, as the gauges are (see OpenMetricsListener).
  if (std::string closed = company_listeners_.ClosedPorts(); !closed.empty()) return closed;
  if (std::string stalled = StalledWorkers(); !stalled.empty()) return stalled;
  const ServiceMetrics::DatabaseAttempt database = metrics_.LastDatabaseAttempt();
  if (database.attempted && !database.ok) return "banco de dados: " + RequestText(database.error);
  return {};
}

std::string TdmPrincipal::StalledWorkers() const {
  std::string text;
  const auto add = [&](std::string_view worker, const StepWatch& steps) {
    if (const auto step = steps.Stalled(std::chrono::seconds(settings_.TempoMaximoEtapa_Segundos)))
      text += (text.empty() ? "" : "; ") + StallText(worker, *step);
  };
  add(kInsertWorkerName, insert_steps_);
  add(kProcessingWorkerName, processing_steps_);
  // The step texts may quote what a request brought: one line, cut.
  return RequestText(text);
}

bool TdmPrincipal::Stop(std::chrono::steady_clock::time_point deadline) {
  // The parts that started, the last started first.
  return stops_.Run(deadline);
}

bool TdmPrincipal::StopWorkers() {
  bool ended = true;
  // A worker's thread held in a statement that does not come back is left behind at its
  // deadline, with the object and everything it uses: the process must end without freeing
  // them (Stop's result says so).
  const auto left_behind = [&](std::string_view worker, const StepWatch& steps, std::string_view what_stays) {
    const auto step = steps.Current();
    log_.Registrar("", false,
                   fmt::format("Parada do serviço: o trabalhador de {} não terminou no prazo e foi deixado para "
                               "trás, etapa: {}; {}",
                               worker, step ? RequestText(step->text) : std::string(), what_stays),
                   stError);
    ended = false;
  };
  auto deadline = std::chrono::steady_clock::now() + kWorkerStopTime;
  if (inserir_integracao_) {
    send_queue_.SetWakeUp(nullptr);
    const auto drain_until =
        std::chrono::steady_clock::now() + std::chrono::seconds(settings_.TempoEsvaziarFila_Segundos);
    deadline = drain_until + kWorkerStopTime;
    if (!inserir_integracao_->Stop(drain_until, deadline)) {
      left_behind(kInsertWorkerName, insert_steps_, "os registros que ele tinha ficam na fila de envio");
      (void)inserir_integracao_.release();
    }
    if (const std::size_t left = send_queue_.WaitingRecords(); left > 0)
      log_.Registrar("", false, fmt::format("Parada do serviço: {} registros ficaram na fila de envio", left), stError);
  }
  if (processa_integracao_ &&
      !processa_integracao_->Stop(std::max(deadline, std::chrono::steady_clock::now() + kWorkerStopTime))) {
    left_behind(kProcessingWorkerName, processing_steps_, "a sessão dele segue aberta");
    (void)processa_integracao_.release();
  }
  return ended;
}

}  // namespace qit

