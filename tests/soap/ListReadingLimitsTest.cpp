// What reading a list may cost: records multiplied by references stay within a bound, a list
// that passes what the send queue can take is refused before the rest of it is read, and the
// work of a request grows with its size, not with its square.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <pugixml.hpp>

#include "RecordingService.h"
#include "SoapTestSupport.h"
#include "host/EnviarEnvironment.h"
#include "logging/VoradaLogger.h"
#include "queue/MemorySendQueue.h"
#include "service/ServicoTelemetria_Impl.h"
#include "soap/TROSOAPMessage.h"

namespace qit::testing {
namespace {

constexpr int kPort = 10166;

// A scratch folder, removed with its contents at the end of the test.
class ScratchFolder {
 public:
  ScratchFolder() {
    static std::atomic<int> counter = 0;
    path_ = std::filesystem::temp_directory_path() /
            fmt::format("qit_soap_limits_{}_{}", ::getpid(), counter.fetch_add(1));
    std::filesystem::create_directories(path_);
  }
  ~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// What Enviar reads from the program: a log, one company port and the queue.
class QueueEnvironment final : public IEnviarEnvironment {
 public:
  QueueEnvironment(TVoradaLogger& log, MemorySendQueue& queue) : log_(log), queue_(queue) {}
  TVoradaLogger* Log() override { return &log_; }
  std::optional<int> CompanyCodeOfPort(int port) override { return port == kPort ? std::optional(7) : std::nullopt; }
  ISendQueueProducer* InserirIntegracao() override { return &queue_; }

 private:
  TVoradaLogger& log_;
  MemorySendQueue& queue_;
};

// A record with vehicle id and a long driver text; an item referring to a record by id.
std::string RecordXml(const std::string& element, const std::string& attributes, const std::string& vehicle,
                      const std::string& text = {}) {
  return "<tns:" + element + attributes + "><tns:ID_Veiculo>" + vehicle + "</tns:ID_Veiculo>" +
         (text.empty() ? std::string() : "<tns:Inf_Adicional_Motorista>" + text + "</tns:Inf_Adicional_Motorista>") +
         "</tns:" + element + ">";
}
std::string Reference(const std::string& id) { return "<tns:TIntegraTelemetria href=\"#" + id + "\"/>"; }
// An item that fails to decode: reading it gives an EConvertError fault, so a request that
// ends in another fault stopped before it.
const std::string kUndecodable =
    "<tns:TIntegraTelemetria><tns:DataOperacao>2024-13-01</tns:DataOperacao></tns:TIntegraTelemetria>";

// Enviar with a list whose items are given, and records written in the Body after it.
std::string ListEnvelope(const std::string& items, const std::string& body_records = {}) {
  return "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\" "
         "xmlns:tns=\"http://tempuri.org/\"><soap:Body><tns:ServicoTelemetria___Enviar><tns:ListaTelemetria>" +
         items + "</tns:ListaTelemetria></tns:ServicoTelemetria___Enviar>" + body_records +
         "</soap:Body></soap:Envelope>";
}

std::string Repeat(const std::string& text, int times) {
  std::string all;
  all.reserve(text.size() * static_cast<std::size_t>(times));
  for (int i = 0; i < times; ++i) all += text;
  return all;
}

// The program's path for a list: the SOAP handler with the real Enviar and the real send
// queue behind it, the handler held to the queue's room and to a bound on decoded records as
// the program sets them.
class ListLimitsTest : public ::testing::Test {
 protected:
  ListLimitsTest() : log_(folder_.Path()), queue_(log_), environment_(log_, queue_) {
    log_.SetDiretorio("Logs");
    log_.SetPrefixo("log_enviar");
    log_.SetMultiThread(true);
    factories_.Add(NewServicoTelemetriaFactory(environment_));
    transport_.headers["Host"] = fmt::format("127.0.0.1:{}", kPort);
  }

  void SetDecodedBound(std::size_t max_decoded_bytes) {
    handler_.SetArrayReadLimits(SendQueueReadLimits(queue_, max_decoded_bytes));
  }

  struct Answer {
    bool ok;
    std::string code, text;
  };
  Answer Send(const std::string& body) {
    std::string response;
    const bool ok = handler_.Answer(transport_, body, response);
    pugi::xml_document document;
    EXPECT_TRUE(document.load_string(response.c_str()));
    const pugi::xml_node fault = document.first_element_by_path("SOAP-ENV:Envelope/SOAP-ENV:Body/SOAP-ENV:Fault");
    return {ok, fault.child_value("faultcode"), fault.child_value("faultstring")};
  }

  // Queues records records of vehicle "HELD", as earlier calls would have.
  void Hold(int records) {
    TListaIntegraTelemetria list;
    for (int i = 0; i < records; ++i) list.Add()->ID_Veiculo = "HELD";
    queue_.AdicionarListaDeEnvio(&list, 1);
  }

  // The text the queue refuses a list of that many records with, as it is now.
  std::string QueueRefusal(int records, const std::string& vehicle) {
    TListaIntegraTelemetria list;
    for (int i = 0; i < records; ++i) list.Add()->ID_Veiculo = vehicle;
    try {
      queue_.AdicionarListaDeEnvio(&list, 1);
    } catch (const EListaDeEnvioCheia& error) {
      return error.what();
    }
    ADD_FAILURE() << "the queue took the list";
    return {};
  }

  static std::size_t RecordBytes(const std::string& vehicle, const std::string& text = {}) {
    TIntegraTelemetria record;
    record.ID_Veiculo = vehicle;
    record.Inf_Adicional_Motorista = text;
    return MemorySendQueue::RecordBytes(record);
  }

  ScratchFolder folder_;
  TVoradaLogger log_;
  MemorySendQueue queue_;
  QueueEnvironment environment_;
  TROClassFactoryList factories_;
  TROSOAPMessage handler_{factories_, SerializableClasses()};
  FakeTransport transport_;
};

TEST_F(ListLimitsTest, ReferencesCannotMultiplyARecordPastTheBound) {
  // One record of 64 KB referred to by every item of the list; the bound is 1 MB.
  const std::string text(64 * 1024, 't');
  const std::string record = RecordXml("TIntegraTelemetria", " id=\"big\"", "BIG", text);
  const std::size_t each = RecordBytes("BIG", text);
  constexpr std::size_t kBound = 1 << 20;
  SetDecodedBound(kBound);
  const std::size_t fit = kBound / each;  // 15 references fit, the 16th passes the bound
  ASSERT_GT(fit, 2u);

  // Within the bound a record referred to many times is legal, and the queue charges what
  // the reader counted.
  Answer answer = Send(ListEnvelope(Repeat(Reference("big"), static_cast<int>(fit)), record));
  ASSERT_TRUE(answer.ok) << answer.text;
  EXPECT_EQ(queue_.WaitingRecords(), fit);
  EXPECT_EQ(queue_.WaitingBytes(), fit * each);
  std::vector<QueuedRecord> queued = queue_.TakeBatch(fit);
  ASSERT_EQ(queued.size(), fit);
  for (const QueuedRecord& copy : queued) EXPECT_EQ(copy.record.Inf_Adicional_Motorista, text);
  std::vector<std::uint64_t> done;
  for (const QueuedRecord& copy : queued) done.push_back(copy.sequence);
  queue_.Acknowledge(done);

  // Past it: a fault, nothing queued, and reading stopped at the record that passed it (the
  // undecodable item after it was never read).
  answer = Send(ListEnvelope(Repeat(Reference("big"), 2000) + kUndecodable, record));
  EXPECT_FALSE(answer.ok);
  EXPECT_EQ(answer.code, "EROException");
  EXPECT_EQ(answer.text, fmt::format("Lista grande demais: {} registros ocupariam pelo menos {} bytes depois de "
                                     "lidos (limite {} bytes); envie a lista em partes menores",
                                     fit + 1, (fit + 1) * each, kBound));
  EXPECT_EQ(queue_.WaitingRecords(), 0u);
}

TEST_F(ListLimitsTest, AListPastTheQueuesRoomIsRefusedBeforeTheRestIsRead) {
  const std::size_t held_bytes = 60 * RecordBytes("HELD");
  const std::size_t item_bytes = RecordBytes("V");
  struct Case {
    const char* what;
    std::size_t max_records, max_bytes;  // the queue's limits; 0: none
    int items;                           // items of the list, all of vehicle "V"
    bool taken;
  };
  const std::vector<Case> cases = {
      {"records: exactly the room left", 100, 0, 40, true},
      {"records: one more than the room left", 100, 0, 41, false},
      {"records: a great many empty items", 100, 0, 200000, false},
      {"bytes: exactly the room left", 0, held_bytes + 40 * item_bytes, 40, true},
      {"bytes: one more than the room left", 0, held_bytes + 40 * item_bytes, 41, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    queue_.SetMaxRecords(0);
    queue_.SetMaxBytes(0);
    for (std::vector<QueuedRecord> left = queue_.TakeBatch(SIZE_MAX); !left.empty(); left = queue_.TakeBatch(SIZE_MAX)) {
      std::vector<std::uint64_t> done;
      for (const QueuedRecord& record : left) done.push_back(record.sequence);
      queue_.Acknowledge(done);
    }
    Hold(60);
    queue_.SetMaxRecords(c.max_records);
    queue_.SetMaxBytes(c.max_bytes);
    SetDecodedBound(0);

    const std::string item = c.items > 1000 ? std::string("<i/>") : RecordXml("TIntegraTelemetria", "", "V");
    const std::string expected = c.taken ? std::string() : QueueRefusal(std::min(c.items, 1000), "V");
    const Answer answer = Send(ListEnvelope(Repeat(item, c.items) + (c.taken ? "" : kUndecodable)));
    if (c.taken) {
      EXPECT_TRUE(answer.ok) << answer.text;
      EXPECT_EQ(queue_.WaitingRecords(), 100u);
      continue;
    }
    EXPECT_FALSE(answer.ok);
    EXPECT_EQ(answer.code, "EListaDeEnvioCheia");
    EXPECT_EQ(answer.text, expected);
    EXPECT_EQ(queue_.WaitingRecords(), 60u) << "a refused list was queued";
  }
}

TEST(ListReferences, ResolveToTheFirstElementOfTheirIdInTheBodyThenTheMessage) {
  // Items refer to records by id: among the Body's children first, then among the message
  // element's, the first of an id winning; a record named twice is read twice.
  ReceivedLists received;
  TROClassFactoryList factories;
  factories.Add(RecordingFactory(received));
  const TROSOAPMessage handler(factories, SerializableClasses());
  const std::string body =
      "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\" xmlns:tns=\"http://tempuri.org/\">"
      "<soap:Body><tns:ServicoTelemetria___Enviar><tns:ListaTelemetria>" +
      Reference("a") + Reference("b") + Reference("m") + Reference("a") + Reference("none") +
      "</tns:ListaTelemetria>" + RecordXml("R", " id=\"b\"", "B in the message") +
      RecordXml("R", " id=\"m\"", "M in the message") + "</tns:ServicoTelemetria___Enviar>" +
      RecordXml("R", " id=\"a\"", "A first") + RecordXml("R", " id=\"a\"", "A second") +
      RecordXml("R", " id=\"b\"", "B in the Body") + "</soap:Body></soap:Envelope>";
  FakeTransport transport;
  std::string response;
  ASSERT_TRUE(handler.Answer(transport, body, response)) << response;
  const auto lists = received.Take();
  ASSERT_EQ(lists.size(), 1u);
  ASSERT_NE(lists[0], nullptr);
  ASSERT_EQ(lists[0]->Count(), 5);
  const std::vector<std::string> expected = {"A first", "B in the Body", "M in the message", "A first"};
  for (int i = 0; i < 4; ++i) {
    ASSERT_NE(lists[0]->Items(i), nullptr) << i;
    EXPECT_EQ(lists[0]->Items(i)->ID_Veiculo, expected[static_cast<std::size_t>(i)]) << i;
  }
  EXPECT_NE(lists[0]->Items(0), lists[0]->Items(3)) << "each item is a record of its own";
  // An id that names nothing is a missing item, an empty record in the copy the test keeps.
  ASSERT_NE(lists[0]->Items(4), nullptr);
  EXPECT_EQ(lists[0]->Items(4)->ID_Veiculo, "");
}

// Ends the test program when the request it watches has not been answered within a generous
// time: a request whose work grows with the square of its size takes many minutes here, the
// same request read in time proportional to its size well under a second.
class Watchdog {
 public:
  explicit Watchdog(std::chrono::seconds limit)
      : thread_([this, limit] {
          std::unique_lock lock(mutex_);
          if (!done_changed_.wait_for(lock, limit, [this] { return done_; })) {
            std::fprintf(stderr, "request still being read after %lld s\n", static_cast<long long>(limit.count()));
            std::_Exit(1);
          }
        }) {}
  ~Watchdog() {
    {
      const std::lock_guard lock(mutex_);
      done_ = true;
    }
    done_changed_.notify_one();
    thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable done_changed_;
  bool done_ = false;
  std::thread thread_;
};

TEST(ListReadingCost, ReferencesCostTheSizeOfTheRequest) {
  // Each case costs about one million element visits when read in time proportional to its
  // size, and tens of billions when every reference walks the document again.
  constexpr int kReferences = 50000;
  constexpr int kFiller = 1000000;
  struct Case {
    const char* what;
    std::string body_records;
  };
  const std::vector<Case> cases = {
      {"the referenced record after a million other elements of the Body",
       Repeat("<f/>", kFiller) + RecordXml("TIntegraTelemetria", " id=\"r\"", "REF")},
      {"the referenced record with a million elements that name no field",
       "<tns:TIntegraTelemetria id=\"r\"><tns:ID_Veiculo>REF</tns:ID_Veiculo>" + Repeat("<x/>", kFiller) +
           "</tns:TIntegraTelemetria>"},
  };
  ReceivedLists received;
  TROClassFactoryList factories;
  factories.Add(RecordingFactory(received));
  const TROSOAPMessage handler(factories, SerializableClasses());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeTransport transport;
    std::string response;
    {
      const Watchdog watchdog(std::chrono::seconds(120));
      ASSERT_TRUE(handler.Answer(transport, ListEnvelope(Repeat(Reference("r"), kReferences), c.body_records),
                                 response))
          << response.substr(0, 2000);
    }
    const auto lists = received.Take();
    ASSERT_EQ(lists.size(), 1u);
    ASSERT_NE(lists[0], nullptr);
    ASSERT_EQ(lists[0]->Count(), kReferences);
    EXPECT_EQ(lists[0]->Items(0)->ID_Veiculo, "REF");
    EXPECT_EQ(lists[0]->Items(kReferences - 1)->ID_Veiculo, "REF");
  }
}

}  // namespace
}  // namespace qit::testing
