#pragma once

#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "service/ServicoTelemetria_Impl.h"

namespace qit {

// What Enviar reads from the data module. The company ports are added one by one while
// the listeners open, and calls may arrive on the first ones meanwhile, so the port table
// has its own lock. The log and the send queue exist from the start.
class AmbienteEnviar final : public IEnviarAmbiente {
 public:
  AmbienteEnviar(TVoradaLogger& log, ISendQueueProducer& fila) : log_(log), fila_(fila) {}

  // Listener position N (in order) with its port and company code.
  void AdicionarPorta(int porta, int codigo_empresa);

  TVoradaLogger* Log() override { return &log_; }
  std::optional<int> CodigoEmpresaDaPorta(int porta) override;
  ISendQueueProducer* InserirIntegracao() override { return &fila_; }

 private:
  TVoradaLogger& log_;
  ISendQueueProducer& fila_;
  std::mutex mutex_;
  std::vector<std::pair<int, int>> portas_;  // (port, company code), by listener position
};

}  // namespace qit
