#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/Errors.h"
#include "logging/VoradaLogger.h"
#include "service/IntegracaoTelemetria_Intf.h"

namespace qit {

// Where Enviar hands the lists it receives: the insert worker's send queue.
class IListaDeEnvio {
 public:
  virtual ~IListaDeEnvio() = default;
  // Keeps a deep copy of the list under the company code; the caller keeps its list. A
  // failure to copy is logged by the queue itself. The one error it raises is
  // EListaDeEnvioCheia, when the list would take the queue past its limit: then nothing is
  // queued and the caller must tell its client, who can send the list again later.
  virtual void AdicionarListaDeEnvio(const TListaIntegraTelemetria* ListaTelemetria, int CodigoEmpresa) = 0;
};

// The queue holds as many records as it may: the list was not taken.
class EListaDeEnvioCheia : public Exception {
 public:
  explicit EListaDeEnvioCheia(std::string message) : Exception(std::move(message), "EListaDeEnvioCheia") {}
};

// One queued list: the company code as decimal text and the queue's own copy of the list.
struct TEntradaListaDeEnvio {
  std::string CodigoEmpresa;
  std::unique_ptr<TListaIntegraTelemetria> Lista;
};

// The send queue `ListaDeEnvio` in memory. Request threads append; the insert worker takes
// everything at once. Lists are kept from the first call on, also before a worker runs.
class TListaDeEnvio final : public IListaDeEnvio {
 public:
  explicit TListaDeEnvio(TVoradaLogger& log) : log_(log) {}

  // Most records waiting at once (0: no limit). Without a limit a caller that sends faster
  // than the database takes the records would grow the queue until memory runs out.
  void SetMaximoRegistros(std::size_t maximo);

  void AdicionarListaDeEnvio(const TListaIntegraTelemetria* ListaTelemetria, int CodigoEmpresa) override;

  // Called under the queue's lock after every append attempt, failed ones included: the
  // worker's wake-up. It must not raise and must not call back into the queue.
  void SetAviso(std::function<void()> aviso);

  // Moves every entry out, in arrival order, and leaves the queue empty.
  std::vector<TEntradaListaDeEnvio> RetirarTudo();
  std::size_t Quantidade() const;

 private:
  TVoradaLogger& log_;
  mutable std::mutex mutex_;
  std::vector<TEntradaListaDeEnvio> entradas_;
  std::size_t registros_ = 0;         // records in entradas_
  std::size_t maximo_registros_ = 0;  // 0: no limit
  std::function<void()> aviso_;
};

}  // namespace qit
