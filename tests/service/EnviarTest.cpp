#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "FaultyFileLayer.h"
#include "TestSupport.h"
#include "queue/DurableSendQueue.h"
#include "queue/MemorySendQueue.h"
#include "soap/TROSOAPMessage.h"

namespace qit::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;

// The lines Enviar writes, without the logger's header.
std::vector<std::string> EnviarLines(const TestLog& log) {
  std::vector<std::string> lines;
  for (const std::string& text : log.Texts())
    if (text.starts_with("Host=") || text.starts_with("Porta=") || text.starts_with("Erro em")) lines.push_back(text);
  return lines;
}

// Every record waiting in the queue, taken and acknowledged as the insert worker would.
std::vector<QueuedRecord> TakeAll(MemorySendQueue& fila) {
  std::vector<QueuedRecord> records = fila.TakeBatch(SIZE_MAX);
  std::vector<std::uint64_t> sequences;
  for (const QueuedRecord& queued : records) sequences.push_back(queued.sequence);
  fila.Acknowledge(sequences);
  return records;
}

class EnviarTest : public ::testing::Test {
 protected:
  EnviarTest() {
    ambiente_.log = &log_.Logger();
    ambiente_.fila = &fila_;
    ambiente_.servidores = {{10166, 7}, {10167, 9}, {10167, 11}};
    factories_.Add(NewServicoTelemetriaFactory(ambiente_));
  }

  // One call of Enviar through the SOAP handler, with the given Host header, arriving on
  // port 10167.
  void Call(const std::string& host, const std::string& lista = "<tns:ListaTelemetria>" + ItemXml("V1") +
                                                               "</tns:ListaTelemetria>") {
    FakeTransport transport;
    transport.headers["Host"] = host;
    transport.local_port = 10167;
    response_.clear();
    EXPECT_TRUE(handler_.Answer(transport, EnviarEnvelope(lista), response_)) << response_;
  }

  TestLog log_;
  MemorySendQueue fila_{log_.Logger()};
  FakeAmbiente ambiente_;
  TROClassFactoryList factories_;
  TROSOAPMessage handler_{factories_, SerializableClasses()};
  std::string response_;
};

TEST_F(EnviarTest, HostPortSelectsTheCompany) {
  struct Case {
    std::string host;
    std::vector<std::string> lines;
    int codigo;  // the queued list's company code
  };
  // Without a usable port in Host the call takes the company of the port it arrived on.
  const std::string arrived = "Porta=9 (Host sem porta válida: empresa da porta 10167, que recebeu a chamada)";
  const std::string long_name(64000, 'h');
  const std::vector<Case> cases = {
      {"10.1.1.5:10166", {"Host=10.1.1.5:10166", "Porta=7"}, 7},
      {"10.1.1.5:10167", {"Host=10.1.1.5:10167", "Porta=9"}, 9},
      {"10.1.1.5:10170", {"Host=10.1.1.5:10170"}, 0},  // a port that is no company's
      {"[::1]:10166", {"Host=[::1]:10166", "Porta=7"}, 7},
      {"telemetria.example.com", {"Host=telemetria.example.com", arrived}, 9},
      {"[::1]", {"Host=[::1]", arrived}, 9},
      {"10.1.1.5:", {"Host=10.1.1.5:", arrived}, 9},
      {"", {"Host=", arrived}, 9},
      {"10.1.1.5:abc", {"Host=10.1.1.5:abc", arrived}, 9},
      {"10.1.1.5:70000", {"Host=10.1.1.5:70000", arrived}, 9},
      {"10.1.1.5:0", {"Host=10.1.1.5:0", arrived}, 9},
      // A Host of 64 000 characters is logged cut.
      {long_name + ":10166", {"Host=" + long_name.substr(0, 1024) + "\u2026(+62982 bytes)", "Porta=7"}, 7},
  };
  std::size_t seen = 0;
  for (const Case& c : cases) {
    Call(c.host);
    const std::vector<std::string> lines = EnviarLines(log_);
    EXPECT_THAT(std::vector<std::string>(lines.begin() + static_cast<std::ptrdiff_t>(seen), lines.end()),
                ElementsAreArray(c.lines))
        << c.host;
    seen = lines.size();

    const std::vector<QueuedRecord> records = TakeAll(fila_);
    ASSERT_EQ(records.size(), 1u) << c.host;
    EXPECT_EQ(records[0].company_code, c.codigo) << c.host;
    EXPECT_EQ(records[0].record.ID_Veiculo, "V1");
    EXPECT_THAT(response_, HasSubstr("<v1:ServicoTelemetria___EnviarResponse><v1:Result/></v1:ServicoTelemetria___"
                                     "EnviarResponse>"))
        << c.host;
  }
}

TEST_F(EnviarTest, WithoutQueueOrLogTheCallIsStillAnswered) {
  ambiente_.fila = nullptr;
  Call("h:10166");
  EXPECT_THAT(EnviarLines(log_), ElementsAre("Host=h:10166", "Porta=7"));
  EXPECT_THAT(response_, HasSubstr("<v1:Result/>"));

  // Before the program can log, lists are still queued with their company.
  ambiente_.fila = &fila_;
  ambiente_.log = nullptr;
  Call("h:10167");
  EXPECT_THAT(EnviarLines(log_), ElementsAre("Host=h:10166", "Porta=7"));
  const std::vector<QueuedRecord> records = TakeAll(fila_);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].company_code, 9);
}

// A queue that fails every list it is given with the error raise throws.
class FailingQueue final : public ISendQueueProducer {
 public:
  explicit FailingQueue(std::function<void()> raise) : raise_(std::move(raise)) {}
  void AdicionarListaDeEnvio(const TListaIntegraTelemetria*, int) override { raise_(); }

 private:
  std::function<void()> raise_;
};

TEST_F(EnviarTest, AnyFailureToQueueTheListIsAFaultSoTheClientSendsItAgain) {
  FailingQueue copy_failed([] {
    throw EListaDeEnvio("Falha ao copiar a lista para a fila de envio (std::bad_alloc): a lista não foi incluída; "
                        "envie a lista novamente");
  });
  FailingQueue other_error([] { throw std::runtime_error("unexpected"); });
  TListaIntegraTelemetria waiting;
  waiting.Add()->ID_Veiculo = "V0";
  struct Case {
    std::string what;
    std::function<void()> arrange;
    std::string error_class;  // of the log line and the fault
    std::string text;  // start of the error's message
    std::vector<std::string> queued;
  };
  const std::vector<Case> cases = {
      {"full in records",
       [&] {
         fila_.SetMaxRecords(1);
         fila_.AdicionarListaDeEnvio(&waiting, 7);
       },
       "EListaDeEnvioCheia", "Fila de envio cheia: 1 registros aguardando gravação (limite 1)", {"V0"}},
      {"full in bytes", [&] { fila_.SetMaxBytes(1); }, "EListaDeEnvioCheia",
       "Fila de envio cheia: 0 bytes aguardando gravação (limite 1 bytes)", {}},
      {"copy failed", [&] { ambiente_.fila = &copy_failed; }, "EListaDeEnvio",
       "Falha ao copiar a lista para a fila de envio", {}},
      {"other error", [&] { ambiente_.fila = &other_error; }, "Exception", "unexpected", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ambiente_.fila = &fila_;
    fila_.SetMaxRecords(0);
    fila_.SetMaxBytes(0);
    c.arrange();
    FakeTransport transport;
    transport.headers["Host"] = "h:10166";
    response_.clear();
    const bool answered = handler_.Answer(
        transport, EnviarEnvelope("<tns:ListaTelemetria>" + ItemXml("V2") + "</tns:ListaTelemetria>"), response_);
    EXPECT_FALSE(answered) << response_;
    EXPECT_THAT(response_, HasSubstr("<faultcode>" + c.error_class + "</faultcode><faultstring>" + c.text));
    EXPECT_THAT(EnviarLines(log_).back(), StartsWith("Erro em (Enviar ) = (" + c.error_class + ") : " + c.text));
    std::vector<std::string> queued;
    for (const QueuedRecord& record : TakeAll(fila_)) queued.push_back(record.record.ID_Veiculo);
    EXPECT_EQ(queued, c.queued) << "nothing of a refused list may be queued";
  }
}

TEST_F(EnviarTest, TransportThatIsNotHttpGivesCompanyZero) {
  TServicoTelemetria servico(ambiente_);
  OtherTransport transport;
  servico.Activate({}, transport);
  TListaIntegraTelemetria lista;
  lista.Add()->ID_Veiculo = "V";
  const std::unique_ptr<TListaResultTelemetria> result = servico.Enviar(&lista);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(result->Count(), 0);
  EXPECT_THAT(EnviarLines(log_), IsEmpty());
  lista.Items(0)->ID_Veiculo = "changed";
  const std::vector<QueuedRecord> records = TakeAll(fila_);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].company_code, 0);
  EXPECT_EQ(records[0].record.ID_Veiculo, "V") << "the queue must keep its own copy";
}

TEST_F(EnviarTest, ParallelCallsAreQueuedWithTheirOwnCompanies) {
  constexpr int kCalls = 20;
  std::vector<std::thread> threads;
  for (int i = 0; i < kCalls; ++i)
    threads.emplace_back([this, i] {
      FakeTransport transport;
      transport.headers["Host"] = i % 2 == 0 ? "a:10166" : "b:10167";
      std::string response;
      EXPECT_TRUE(handler_.Answer(
          transport,
          EnviarEnvelope("<tns:ListaTelemetria>" + ItemXml(i % 2 == 0 ? "par" : "impar") + "</tns:ListaTelemetria>"),
          response));
    });
  for (std::thread& thread : threads) thread.join();
  const std::vector<QueuedRecord> records = TakeAll(fila_);
  ASSERT_EQ(records.size(), static_cast<std::size_t>(kCalls));
  for (const QueuedRecord& queued : records)
    EXPECT_EQ(queued.company_code, queued.record.ID_Veiculo == "par" ? 7 : 9);
}

// With the queue on disk the answer waits for the sync of the list, and the serving thread
// does not: ProcessMessage returns at once, and the answer follows the sync, a fault when
// the sync failed.
TEST_F(EnviarTest, AnAnswerHeldForTheDiskFollowsTheSyncWithoutHoldingTheThread) {
  FaultyFileLayer files;  // syncs pass for the start-up's own
  SendJournalOptions options;
  options.files = &files;
  TempFolder folder;
  DurableSendQueue fila(fila_, log_.Logger());
  fila.Open(folder.Path() / "Fila", options);
  std::mutex mutex;
  std::condition_variable changed;
  ambiente_.fila = &fila;

  struct Case {
    bool fail;
    bool ok;
    std::string answer;
    std::vector<std::string> queued;
  };
  const Case cases[] = {
      {false, true, "<v1:ServicoTelemetria___EnviarResponse><v1:Result/>", {"V1"}},
      {true, false, "<faultcode>EListaDeEnvio</faultcode><faultstring>Falha ao sincronizar a fila de envio em disco",
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fail ? "the sync fails" : "the sync succeeds");
    files.HoldFileSyncs();
    if (c.fail) files.FailFileSyncs(EIO);
    ambiente_.counted.clear();
    ambiente_.answer_times.clear();
    FakeTransport transport;
    transport.headers["Host"] = "h:10166";
    transport.local_port = 10166;
    std::string response;
    std::optional<std::optional<bool>> outcome;
    const MessageCompletion done([&](std::optional<bool> ok) {
      const std::lock_guard lock(mutex);
      outcome = ok;
      changed.notify_all();
    });
    handler_.ProcessMessage(transport, EnviarEnvelope("<tns:ListaTelemetria>" + ItemXml("V1") + "</tns:ListaTelemetria>"),
                            response, done);
    {
      std::unique_lock lock(mutex);
      EXPECT_FALSE(outcome.has_value()) << "answered before the list reached the disk";
    }
    const auto held = std::chrono::milliseconds(50);
    std::this_thread::sleep_for(held);
    files.ReleaseFileSyncs();
    {
      std::unique_lock lock(mutex);
      ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(30), [&] { return outcome.has_value(); }));
    }
    EXPECT_EQ(*outcome, std::optional<bool>(c.ok));
    EXPECT_THAT(response, HasSubstr(c.answer));
    std::vector<std::string> queued;
    for (const QueuedRecord& record : TakeAll(fila_)) queued.push_back(record.record.ID_Veiculo);
    EXPECT_EQ(queued, c.queued);
    EXPECT_THAT(ambiente_.counted, ElementsAre(std::pair{10166, c.ok})) << "counted once, with its outcome";
    ASSERT_EQ(ambiente_.answer_times.size(), 1u);
    EXPECT_GE(ambiente_.answer_times[0], held) << "the answer time takes in the wait for the disk";
    if (c.fail) {
      EXPECT_THAT(EnviarLines(log_).back(), StartsWith("Erro em (Enviar ) = (EListaDeEnvio) : Falha ao sincronizar"));
    }
  }
}

// A call's answer time runs from the moment its request had been read whole, which the
// transport tells; a transport that does not know gives the time of the call itself.
TEST_F(EnviarTest, TheAnswerTimeRunsFromTheRequestReadWhole) {
  using namespace std::chrono_literals;
  struct Case {
    const char* name;
    std::chrono::steady_clock::duration read_before;  // zero: the transport does not know
    std::chrono::steady_clock::duration at_least;
    std::chrono::steady_clock::duration below;
  };
  const Case cases[] = {
      {"read 2 s ago", 2s, 2s, 30s},
      {"unknown", 0s, 0s, 2s},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ambiente_.answer_times.clear();
    FakeTransport transport;
    transport.headers["Host"] = "h:10166";
    transport.local_port = 10166;
    if (c.read_before != 0s) transport.received = std::chrono::steady_clock::now() - c.read_before;
    std::string response;
    EXPECT_TRUE(handler_.Answer(
        transport, EnviarEnvelope("<tns:ListaTelemetria>" + ItemXml("V1") + "</tns:ListaTelemetria>"), response));
    ASSERT_EQ(ambiente_.answer_times.size(), 1u);
    EXPECT_GE(ambiente_.answer_times[0], c.at_least);
    EXPECT_LT(ambiente_.answer_times[0], c.below);
  }
}

}  // namespace
}  // namespace qit::testing
