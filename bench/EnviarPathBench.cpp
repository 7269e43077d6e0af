// The work one Enviar call costs the program besides the sockets, measured in-process so
// that the figure does not depend on what else the machine runs:
//
//   SOAPMessage  the SOAP handler alone: the envelope of 10 records read, the operation
//                with its two log lines and its queue copy, the response written
//   HttpRequest  the same call as the listener serves it: the request bytes parsed, routed
//                through the transport, and the head of the answer formatted
//   ReferencedList/N  the SOAP handler with a list of 100 x N records written as separate
//                elements of the Body, each item referring to its record by "href"; the
//                time per call must grow with N, not with N squared
//
// The request is the one bench/wrk-enviar.lua posts. The queue is the program's own, without
// a limit, emptied after every call as the insert worker would; the list is checked against
// its room and a bound on decoded records as it is read, as in the program; the log writes
// its lines to a scratch folder.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "logging/VoradaLogger.h"
#include "queue/MemorySendQueue.h"
#include "service/ServicoTelemetria_Impl.h"
#include "transport/HttpRequestParser.h"
#include "transport/RequestRouter.h"
#include "transport/THTTPTransport.h"
#include "soap/TROSOAPMessage.h"

namespace qit {
namespace {

constexpr int kPort = 10166;

// The envelope of bench/wrk-enviar.lua: a list of 10 telemetry sessions.
std::string EnviarEnvelope() {
  std::string records;
  for (int i = 1; i <= 10; ++i) {
    if (i > 1) records += '\n';
    records += fmt::format(
        "<tns:TIntegraTelemetria>\n"
        "<tns:ID_Veiculo>VEI{0:04}</tns:ID_Veiculo>\n"
        "<tns:DataOperacao>2024-05-{0:02}T00:00:00</tns:DataOperacao>\n"
        "<tns:DataHoraInicio>2024-05-{0:02}T08:{0:02}:00</tns:DataHoraInicio>\n"
        "<tns:DataHoraTermino>2024-05-{0:02}T17:{0:02}:30</tns:DataHoraTermino>\n"
        "<tns:ID_Motorista>MOT{0:05}</tns:ID_Motorista>\n"
        "<tns:Inf_Adicional_Motorista>Motorista {0}</tns:Inf_Adicional_Motorista>\n"
        "<tns:ID_Agrupamento_1>TURNO-A</tns:ID_Agrupamento_1>\n"
        "<tns:Inf_Adicional_Agrupamento_1>Turno da manha</tns:Inf_Adicional_Agrupamento_1>\n"
        "<tns:ID_Agrupamento_2>ROTA-{0:02}</tns:ID_Agrupamento_2>\n"
        "<tns:Inf_Adicional_Agrupamento_2>Rota {0}</tns:Inf_Adicional_Agrupamento_2>\n"
        "</tns:TIntegraTelemetria>",
        i);
  }
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
         "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\" "
         "xmlns:tns=\"http://tempuri.org/\">\n<soap:Body>\n<tns:ServicoTelemetria___Enviar>\n<tns:ListaTelemetria>\n" +
         records + "\n</tns:ListaTelemetria>\n</tns:ServicoTelemetria___Enviar>\n</soap:Body>\n</soap:Envelope>\n";
}

std::string EnviarRequest(const std::string& envelope) {
  return fmt::format(
      "POST /Integracao_Telemetria HTTP/1.1\r\nHost: 127.0.0.1:{}\r\nContent-Length: {}\r\n"
      "Content-Type: text/xml; charset=utf-8\r\n"
      "SOAPAction: \"urn:IntegracaoTelemetria-ServicoTelemetria#Enviar\"\r\nConnection: close\r\n\r\n{}",
      kPort, envelope.size(), envelope);
}

// What Enviar reads from the program: the log, one company port, and the queue.
class Ambiente final : public IEnviarEnvironment {
 public:
  Ambiente(TVoradaLogger& log, ISendQueueProducer& fila) : log_(log), fila_(fila) {}
  TVoradaLogger* Log() override { return &log_; }
  std::optional<int> CompanyCodeOfPort(int port) override {
    return port == kPort ? std::optional<int>(1) : std::nullopt;
  }
  ISendQueueProducer* InserirIntegracao() override { return &fila_; }

 private:
  TVoradaLogger& log_;
  ISendQueueProducer& fila_;
};

// The program's SOAP handler with the real service behind it, logging into a scratch folder.
class Program {
 public:
  Program()
      : folder_(MakeFolder()), log_(folder_), fila_(log_), ambiente_(log_, fila_),
        handler_(factories_, SerializableClasses()) {
    log_.SetPrefixo("log_enviar");
    log_.SetDiretorio("Logs/Integradores/Telemetria/");
    log_.SetMultiThread(true);
    factories_.Add(NewServicoTelemetriaFactory(ambiente_));
    // The list is checked as it is read, as the program does: against the queue's room, item
    // by item, and against a bound on the decoded records (the default 64 MB).
    ArrayReadLimits limits;
    limits.item_bytes = [](const TROComplexType& item) {
      return MemorySendQueue::RecordBytes(static_cast<const TIntegraTelemetria&>(item));
    };
    limits.check_room = [this](std::size_t records, std::size_t bytes) { fila_.CheckRoomFor(records, bytes); };
    limits.max_decoded_bytes = std::size_t{64} << 20;
    handler_.SetArrayReadLimits(std::move(limits));
    // Not owned by the table: both are members here, and no listener holds the table.
    dispatchers_.Add({"SOAPMessage", std::shared_ptr<IMessageHandler>(std::shared_ptr<void>(), &handler_), true,
                      "Integracao_Telemetria"});
  }
  ~Program() {
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }

  TROSOAPMessage& Handler() { return handler_; }
  const TROHTTPMessageDispatchers& Dispatchers() const { return dispatchers_; }
  // What the insert worker does with the queue, so that it stays small.
  void Drain() {
    std::vector<std::uint64_t> sequences;
    for (const QueuedRecord& queued : fila_.TakeBatch(SIZE_MAX)) sequences.push_back(queued.sequence);
    fila_.Acknowledge(sequences);
  }

 private:
  static std::filesystem::path MakeFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "qit_enviar_bench_XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    return pattern;
  }

  std::filesystem::path folder_;
  TVoradaLogger log_;
  MemorySendQueue fila_;
  Ambiente ambiente_;
  TROClassFactoryList factories_;
  TROSOAPMessage handler_;
  TROHTTPMessageDispatchers dispatchers_;
};

// The transport of a request with the Host and SOAPAction headers wrk sends.
HttpRequest ParsedRequest(const std::string& raw) {
  HttpRequestParser parser(64u << 20);
  if (parser.Feed(raw) != HttpRequestParser::Result::kComplete) std::abort();
  return parser.Request();
}

// The SOAP handler answers the envelope once per iteration; the queue is emptied after each.
void AnswerEachIteration(benchmark::State& state, const std::string& envelope) {
  Program program;
  const HttpRequest request = ParsedRequest(EnviarRequest(envelope));
  for (auto _ : state) {
    HttpResponse response;
    THTTPTransport transport(request, response);
    std::string answer;
    if (!program.Handler().Answer(transport, envelope, answer)) state.SkipWithError("fault");
    benchmark::DoNotOptimize(answer);
    program.Drain();
  }
}

void SOAPMessage(benchmark::State& state) { AnswerEachIteration(state, EnviarEnvelope()); }
BENCHMARK(SOAPMessage);

void HttpRequest_(benchmark::State& state) {
  Program program;
  const std::string raw = EnviarRequest(EnviarEnvelope());
  for (auto _ : state) {
    HttpRequestParser parser(64u << 20);
    if (parser.Feed(raw) != HttpRequestParser::Result::kComplete) state.SkipWithError("not parsed");
    const HttpResponse response = AnswerRequest(parser.Request(), program.Dispatchers(), HttpServeOptions{});
    if (response.status != 200) state.SkipWithError("not answered");
    std::string head = FormatResponseHead(response);
    benchmark::DoNotOptimize(head);
    program.Drain();
  }
}
BENCHMARK(HttpRequest_)->Name("HttpRequest");

// A list whose items refer by "href" to records written as elements of the Body after the
// message element, each record with an id of its own.
std::string ReferencedListEnvelope(int records) {
  std::string items, bodies;
  for (int i = 1; i <= records; ++i) {
    items += fmt::format("<tns:TIntegraTelemetria href=\"#r{}\"/>", i);
    bodies += fmt::format(
        "<tns:TIntegraTelemetria id=\"r{0}\">"
        "<tns:ID_Veiculo>VEI{0:06}</tns:ID_Veiculo>"
        "<tns:DataOperacao>2024-05-01T00:00:00</tns:DataOperacao>"
        "<tns:DataHoraInicio>2024-05-01T08:00:00</tns:DataHoraInicio>"
        "<tns:DataHoraTermino>2024-05-01T17:00:30</tns:DataHoraTermino>"
        "<tns:ID_Motorista>MOT{0:06}</tns:ID_Motorista>"
        "<tns:Inf_Adicional_Motorista>Motorista {0}</tns:Inf_Adicional_Motorista>"
        "<tns:ID_Agrupamento_1>TURNO-A</tns:ID_Agrupamento_1>"
        "<tns:Inf_Adicional_Agrupamento_1>Turno da manha</tns:Inf_Adicional_Agrupamento_1>"
        "<tns:ID_Agrupamento_2>ROTA-01</tns:ID_Agrupamento_2>"
        "<tns:Inf_Adicional_Agrupamento_2>Rota 1</tns:Inf_Adicional_Agrupamento_2>"
        "</tns:TIntegraTelemetria>\n",
        i);
  }
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
         "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\" "
         "xmlns:tns=\"http://tempuri.org/\">\n<soap:Body>\n<tns:ServicoTelemetria___Enviar>\n<tns:ListaTelemetria>" +
         items + "</tns:ListaTelemetria>\n</tns:ServicoTelemetria___Enviar>\n" + bodies + "</soap:Body>\n</soap:Envelope>\n";
}

void ReferencedList(benchmark::State& state) {
  const int records = 100 * static_cast<int>(state.range(0));
  const std::string envelope = ReferencedListEnvelope(records);
  AnswerEachIteration(state, envelope);
  state.SetItemsProcessed(state.iterations() * records);
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(envelope.size()));
}
BENCHMARK(ReferencedList)->Arg(1)->Arg(10)->Arg(100)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace qit

BENCHMARK_MAIN();
