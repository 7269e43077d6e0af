#pragma once

#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "contract/IntegracaoTelemetria_Intf.h"
#include "service/IntegracaoTelemetria_Invk.h"
#include "contract/ROServer.h"

// A stand-in for the service behind the SOAP message, for tests that read requests through
// the real handler and want to see the lists Enviar received.
namespace qit::testing {

// The lists Enviar received, in arrival order: a copy of each, nullptr for a missing one.
class ReceivedLists {
 public:
  void Add(const TListaIntegraTelemetria* lista) {
    std::unique_ptr<TListaIntegraTelemetria> copy;
    if (lista != nullptr) {
      copy = std::make_unique<TListaIntegraTelemetria>();
      copy->Assign(lista);
    }
    const std::lock_guard lock(mutex_);
    lists_.push_back(std::move(copy));
  }
  std::vector<std::unique_ptr<TListaIntegraTelemetria>> Take() {
    const std::lock_guard lock(mutex_);
    return std::exchange(lists_, {});
  }

 private:
  std::mutex mutex_;
  std::vector<std::unique_ptr<TListaIntegraTelemetria>> lists_;
};

// Stands in for the service behind the SOAP message, with the contract's own invoker: Enviar
// keeps what it received and answers an empty result list.
class RecordingService final : public TRORemoteDataModule, public IServicoTelemetria {
 public:
  explicit RecordingService(ReceivedLists& received) : received_(received) {}
  std::unique_ptr<TListaResultTelemetria> Enviar(const TListaIntegraTelemetria* ListaTelemetria) override {
    received_.Add(ListaTelemetria);
    return std::make_unique<TListaResultTelemetria>();
  }

 private:
  ReceivedLists& received_;
};

inline std::unique_ptr<TROClassFactory> RecordingFactory(ReceivedLists& received) {
  return std::make_unique<TROClassFactory>(kServicoTelemetriaName, std::make_unique<TServicoTelemetria_Invoker>(),
                                           [&received] { return std::make_unique<RecordingService>(received); });
}

}  // namespace qit::testing
