#include "service/ListaDeEnvio.h"

#include <utility>

namespace qit {

void TListaDeEnvio::AdicionarListaDeEnvio(const TListaIntegraTelemetria* ListaTelemetria, int CodigoEmpresa) {
  const std::lock_guard lock(mutex_);
  try {
    auto copia = std::make_unique<TListaIntegraTelemetria>();
    copia->Assign(ListaTelemetria);
    entradas_.push_back({std::to_string(CodigoEmpresa), std::move(copia)});
  } catch (const std::exception& error) {
    // The caller has answered its client already; the failure only goes to the log.
    log_.RegistrarExcecao(&error, "AdicionarListaDeEnvio", true);
  }
  if (aviso_) aviso_();
}

void TListaDeEnvio::SetAviso(std::function<void()> aviso) {
  const std::lock_guard lock(mutex_);
  aviso_ = std::move(aviso);
}

std::vector<TEntradaListaDeEnvio> TListaDeEnvio::RetirarTudo() {
  const std::lock_guard lock(mutex_);
  return std::exchange(entradas_, {});
}

std::size_t TListaDeEnvio::Quantidade() const {
  const std::lock_guard lock(mutex_);
  return entradas_.size();
}

}  // namespace qit
