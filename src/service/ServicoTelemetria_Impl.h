#pragma once

#include <chrono>
#include <memory>
#include <optional>

#include "logging/VoradaLogger.h"
#include "queue/SendQueue.h"
#include "contract/IntegracaoTelemetria_Intf.h"
#include "contract/ROServer.h"

namespace qit {

// What Enviar reads from the running program. Called from request threads at any time
// after the first listener opens, so every answer must be safe to give concurrently.
class IEnviarEnvironment {
 public:
  virtual ~IEnviarEnvironment() = default;
  // The log of the calls ("log_enviar"); nullptr while the program is not ready to log.
  virtual TVoradaLogger* Log() = 0;
  // The company code (tag) of the first company listener, positions 1 to Quantidade in
  // order and empty positions skipped, whose port is `port`; nullopt when none is.
  virtual std::optional<int> CompanyCodeOfPort(int port) = 0;
  // The send queue; nullptr when there is none to hand lists to.
  virtual ISendQueueProducer* InserirIntegracao() = 0;
  // Counts one call that arrived on the company port `port`: its list was queued, or it was
  // answered with a fault, answer_time after its request had been read whole. Must not raise.
  virtual void CountEnviar(int port, bool queued, std::chrono::steady_clock::duration answer_time) noexcept {}
};

// The implementation of ServicoTelemetria; one instance per call.
class TServicoTelemetria final : public TRORemoteDataModule, public IServicoTelemetria {
 public:
  explicit TServicoTelemetria(IEnviarEnvironment& environment) : environment_(environment) {}

  // Tags the list with the company of the port named in the request's Host header (or, when
  // Host names no usable port, of the port the call arrived on), queues a copy and answers an
  // empty result list. Any failure is logged and raised: the list was not queued, and the
  // client gets a fault so that it sends the list again. Where the message can hold its
  // answer, the answer waits for the queue (the list on disk) without holding the thread, and
  // a failure found then is logged and answered as a fault the same way.
  std::unique_ptr<TListaResultTelemetria> Enviar(const TListaIntegraTelemetria* ListaTelemetria) override;

 protected:
  // Counts the call: queued when Enviar returned, a fault otherwise (also when the list could
  // not be read and Enviar never ran); a held answer is counted when the queue settles it.
  void OnDeactivate() noexcept override;

 private:
  int CompanyCode(TVoradaLogger* log);
  // The port the call arrived on; 0 without an HTTP transport.
  int LocalPort() const;
  // When the request had been read whole; without an HTTP transport that knows, when this
  // instance was created for the call.
  std::chrono::steady_clock::time_point RequestReceived() const;
  static void LogFailure(TVoradaLogger* log, const std::exception_ptr& error) noexcept;

  IEnviarEnvironment& environment_;
  const std::chrono::steady_clock::time_point created_ = std::chrono::steady_clock::now();
  bool queued_ = false;
  bool counted_later_ = false;
};

// The class factory of "ServicoTelemetria": its invoker and a creator of TServicoTelemetria
// instances that read the given environment.
std::unique_ptr<TROClassFactory> NewServicoTelemetriaFactory(IEnviarEnvironment& environment);

}  // namespace qit
