#include "service/ListaDeEnvio.h"

#include <utility>

#include <fmt/format.h>

namespace qit {

void TListaDeEnvio::AdicionarListaDeEnvio(const TListaIntegraTelemetria* ListaTelemetria, int CodigoEmpresa) {
  // The copy is made before the lock is taken: other callers and the worker never wait for it.
  std::unique_ptr<TListaIntegraTelemetria> copia;
  try {
    copia = std::make_unique<TListaIntegraTelemetria>();
    copia->Assign(ListaTelemetria);
  } catch (const std::exception& error) {
    // The caller answers its client normally; the failure only goes to the log.
    log_.RegistrarExcecao(&error, "AdicionarListaDeEnvio", true);
    copia.reset();
  }

  const std::lock_guard lock(mutex_);
  const std::size_t registros = copia ? static_cast<std::size_t>(copia->Count()) : 0;
  const bool cheia = copia && maximo_registros_ > 0 && registros_ + registros > maximo_registros_;
  if (copia && !cheia) {
    entradas_.push_back({std::to_string(CodigoEmpresa), std::move(copia)});
    registros_ += registros;
  }
  if (aviso_) aviso_();
  if (cheia)
    throw EListaDeEnvioCheia(fmt::format(
        "Fila de envio cheia: {} registros aguardando gravação (limite {}); envie a lista novamente mais tarde",
        registros_, maximo_registros_));
}

void TListaDeEnvio::SetMaximoRegistros(std::size_t maximo) {
  const std::lock_guard lock(mutex_);
  maximo_registros_ = maximo;
}

void TListaDeEnvio::SetAviso(std::function<void()> aviso) {
  const std::lock_guard lock(mutex_);
  aviso_ = std::move(aviso);
}

std::vector<TEntradaListaDeEnvio> TListaDeEnvio::RetirarTudo() {
  const std::lock_guard lock(mutex_);
  registros_ = 0;
  return std::exchange(entradas_, {});
}

std::size_t TListaDeEnvio::Quantidade() const {
  const std::lock_guard lock(mutex_);
  return entradas_.size();
}

}  // namespace qit
