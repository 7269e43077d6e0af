#pragma once

#include <memory>
#include <optional>

#include "logging/VoradaLogger.h"
#include "queue/SendQueue.h"
#include "service/IntegracaoTelemetria_Intf.h"
#include "service/ROServer.h"

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
  // answered with a fault. Must not raise.
  virtual void CountEnviar(int port, bool queued) noexcept {}
};

// The implementation of ServicoTelemetria; one instance per call.
class TServicoTelemetria final : public TRORemoteDataModule, public IServicoTelemetria {
 public:
  explicit TServicoTelemetria(IEnviarEnvironment& environment) : environment_(environment) {}

  // Tags the list with the company of the port named in the request's Host header (or, when
  // Host names no usable port, of the port the call arrived on), queues a copy and answers an
  // empty result list. Any failure is logged and raised: the list was not queued, and the
  // client gets a fault so that it sends the list again.
  std::unique_ptr<TListaResultTelemetria> Enviar(const TListaIntegraTelemetria* ListaTelemetria) override;

 protected:
  // Counts the call: queued when Enviar returned, a fault otherwise (also when the list could
  // not be read and Enviar never ran).
  void OnDeactivate() noexcept override;

 private:
  int CompanyCode(TVoradaLogger* log);

  IEnviarEnvironment& environment_;
  bool queued_ = false;
};

// The class factory of "ServicoTelemetria": its invoker and a creator of TServicoTelemetria
// instances that read the given environment.
std::unique_ptr<TROClassFactory> NewServicoTelemetriaFactory(IEnviarEnvironment& environment);

}  // namespace qit
