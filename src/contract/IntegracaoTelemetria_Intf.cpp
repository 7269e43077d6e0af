#include "contract/IntegracaoTelemetria_Intf.h"

#include <array>

namespace qit {

namespace {

template <class T>
std::unique_ptr<TROSerializable> Create() {
  return std::make_unique<T>();
}

using I = TIntegraTelemetria;
const std::array<TROField<I>, 10> kCamposIntegra = {{
    {"ID_Veiculo", &I::ID_Veiculo},
    {"DataOperacao", &I::DataOperacao},
    {"DataHoraInicio", &I::DataHoraInicio},
    {"DataHoraTermino", &I::DataHoraTermino},
    {"ID_Motorista", &I::ID_Motorista},
    {"Inf_Adicional_Motorista", &I::Inf_Adicional_Motorista},
    {"ID_Agrupamento_1", &I::ID_Agrupamento_1},
    {"Inf_Adicional_Agrupamento_1", &I::Inf_Adicional_Agrupamento_1},
    {"ID_Agrupamento_2", &I::ID_Agrupamento_2},
    {"Inf_Adicional_Agrupamento_2", &I::Inf_Adicional_Agrupamento_2},
}};

using R = TResultTelemetria;
const std::array<TROField<R>, 3> kCamposResult = {{
    {"ID_Veiculo", &R::ID_Veiculo},
    {"Codigo_Erro", &R::Codigo_Erro},
    {"Descricao", &R::Descricao},
}};

}  // namespace

const TROClassInfo TIntegraTelemetria::kClassInfo{"TIntegraTelemetria", TROClassInfo::Kind::Struct, nullptr,
                                                  &Create<TIntegraTelemetria>};
const TROClassInfo TResultTelemetria::kClassInfo{"TResultTelemetria", TROClassInfo::Kind::Struct, nullptr,
                                                 &Create<TResultTelemetria>};
const TROClassInfo TListaIntegraTelemetria::kClassInfo{"TListaIntegraTelemetria", TROClassInfo::Kind::Array, nullptr,
                                                       &Create<TListaIntegraTelemetria>};
const TROClassInfo TListaResultTelemetria::kClassInfo{"TListaResultTelemetria", TROClassInfo::Kind::Array, nullptr,
                                                      &Create<TListaResultTelemetria>};

std::span<const TROField<TIntegraTelemetria>> TIntegraTelemetria::Fields() { return kCamposIntegra; }
std::span<const TROField<TResultTelemetria>> TResultTelemetria::Fields() { return kCamposResult; }

const TROClassRegistry& SerializableClasses() {
  static const TROClassRegistry kRegistry = [] {
    TROClassRegistry registry;
    for (const TROClassInfo* info : {&TIntegraTelemetria::kClassInfo, &TResultTelemetria::kClassInfo,
                                     &TListaIntegraTelemetria::kClassInfo, &TListaResultTelemetria::kClassInfo})
      registry.Register(*info);
    return registry;
  }();
  return kRegistry;
}

}  // namespace qit
