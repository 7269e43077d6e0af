#pragma once

#include <chrono>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "logging/VoradaLogger.h"
#include "queue/SendQueue.h"
#include "contract/ROTransport.h"
#include "service/ServicoTelemetria_Impl.h"

// FakeTransport, EnviarEnvelope and ItemXml.
#include "SoapTestSupport.h"

namespace qit::testing {

// A transport that is not HTTP.
class OtherTransport final : public IROTransport {
 public:
  IHTTPTransport* TransportInstance() override { return nullptr; }
};

// A scratch folder, removed with its contents at the end of the test.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// A logger writing below a scratch folder, and the texts of the lines it wrote (the time
// stamp cut off), in order.
class TestLog {
 public:
  TestLog();
  TVoradaLogger& Logger() { return logger_; }
  std::vector<std::string> Texts() const;

 private:
  TempFolder folder_;
  TVoradaLogger logger_;
};

// What Enviar reads from the program: a log, the company listeners (port, code) in position
// order, and the queue.
class FakeAmbiente final : public IEnviarEnvironment {
 public:
  TVoradaLogger* log = nullptr;
  std::vector<std::pair<int, int>> servidores;
  ISendQueueProducer* fila = nullptr;

  TVoradaLogger* Log() override { return log; }
  std::optional<int> CompanyCodeOfPort(int wanted) override {
    for (const auto& [port, codigo] : servidores)
      if (port == wanted) return codigo;
    return std::nullopt;
  }
  ISendQueueProducer* InserirIntegracao() override { return fila; }
  // The calls counted: (port, queued) and their answer times, in order; counted from any
  // thread.
  void CountEnviar(int port, bool queued, std::chrono::steady_clock::duration answer_time) noexcept override {
    const std::lock_guard lock(counted_mutex);
    counted.emplace_back(port, queued);
    answer_times.push_back(answer_time);
  }
  std::mutex counted_mutex;
  std::vector<std::pair<int, bool>> counted;
  std::vector<std::chrono::steady_clock::duration> answer_times;
};

}  // namespace qit::testing
