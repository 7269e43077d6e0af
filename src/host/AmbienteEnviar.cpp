#include "host/AmbienteEnviar.h"

namespace qit {

void AmbienteEnviar::AdicionarPorta(int porta, int codigo_empresa) {
  std::lock_guard lock(mutex_);
  portas_.emplace_back(porta, codigo_empresa);
}

std::optional<int> AmbienteEnviar::CodigoEmpresaDaPorta(int porta) {
  std::lock_guard lock(mutex_);
  for (const auto& [p, codigo] : portas_)
    if (p == porta) return codigo;
  return std::nullopt;
}

}  // namespace qit
