// Feeds arbitrary bytes, as the body of a request, to the real SOAP handler with the Enviar
// operation and a bounded send queue behind it: the envelope's parse, the header, the
// message and interface names, the invocation, the list's reading with its references and
// read limits, the copy into the queue, and the answer or the fault. Every answer to an
// envelope must be a well-formed XML document.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <pugixml.hpp>

#include "SoapTestSupport.h"
#include "host/EnviarEnvironment.h"
#include "logging/VoradaLogger.h"
#include "queue/MemorySendQueue.h"
#include "contract/IntegracaoTelemetria_Intf.h"
#include "service/ServicoTelemetria_Impl.h"
#include "soap/TROSOAPMessage.h"

namespace {

// Enviar's view of the program: one company port and the queue; no log, so that the runs
// are not slowed by file writes (the queue reports its failures to its own logger).
class Environment final : public qit::IEnviarEnvironment {
 public:
  explicit Environment(qit::ISendQueueProducer& queue) : queue_(queue) {}
  qit::TVoradaLogger* Log() override { return nullptr; }
  std::optional<int> CompanyCodeOfPort(int port) override { return port == 10166 ? std::optional(7) : std::nullopt; }
  qit::ISendQueueProducer* InserirIntegracao() override { return &queue_; }

 private:
  qit::ISendQueueProducer& queue_;
};

struct Handler {
  Handler() : log(std::filesystem::temp_directory_path() / "qit-soap-fuzz"), queue(log), environment(queue) {
    // Small limits, so that the bounds are reached by inputs of a few kilobytes.
    queue.SetMaxRecords(1000);
    queue.SetMaxBytes(1 << 20);
    factories.Add(qit::NewServicoTelemetriaFactory(environment));
    soap.SetArrayReadLimits(qit::SendQueueReadLimits(queue, 1 << 20));
  }

  qit::TVoradaLogger log;
  qit::MemorySendQueue queue;
  Environment environment;
  qit::TROClassFactoryList factories;
  qit::TROSOAPMessage soap{factories, qit::SerializableClasses()};
};

// Host header values: with the company's port, without a port, an IPv6 form, a port out of
// range.
constexpr std::string_view kHosts[] = {"h:10166", "telemetria.example.com", "[::1]:10166", "h:99999"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Handler handler;
  if (size == 0) return 0;
  qit::testing::FakeTransport transport;
  transport.headers["Host"] = std::string(kHosts[data[0] % std::size(kHosts)]);
  transport.local_port = 10166;
  const std::string_view body(reinterpret_cast<const char*>(data + 1), size - 1);

  std::string response;
  handler.soap.Answer(transport, body, response);
  // Bodies of 0, 4 and 5 bytes are answered with the service description, the interface
  // definition and the probe answer; every other answer is an envelope.
  pugi::xml_document answer;
  const bool envelope = body.size() != 0 && body.size() != 4 && body.size() != 5;
  if (envelope && !answer.load_buffer(response.data(), response.size())) {
    std::fprintf(stderr, "The answer is not well-formed XML:\n%s\n", response.c_str());
    __builtin_trap();
  }

  // The worker's part: whatever was queued is taken and done with.
  std::vector<std::uint64_t> done;
  for (const qit::QueuedRecord& record : handler.queue.TakeBatch(SIZE_MAX)) done.push_back(record.sequence);
  handler.queue.Acknowledge(done);
  return 0;
}
