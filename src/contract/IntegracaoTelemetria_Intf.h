#pragma once

#include <memory>
#include <span>
#include <string>

#include "common/DateTime.h"
#include "contract/ROClassRegistry.h"
#include "contract/ROTypes.h"

namespace qit {

// The published contract of the library "IntegracaoTelemetria": its one service, the
// records and arrays that travel with the operation Enviar, and their registration.

inline constexpr const char* kLibraryName = "IntegracaoTelemetria";
inline constexpr const char* kServicoTelemetriaName = "ServicoTelemetria";

// One telemetry session sent by a client.
class TIntegraTelemetria final : public TROStruct<TIntegraTelemetria> {
 public:
  static const TROClassInfo kClassInfo;
  static std::span<const TROField<TIntegraTelemetria>> Fields();

  std::string ID_Veiculo;
  TDateTime DataOperacao;
  TDateTime DataHoraInicio;
  TDateTime DataHoraTermino;
  std::string ID_Motorista;
  std::string Inf_Adicional_Motorista;
  std::string ID_Agrupamento_1;
  std::string Inf_Adicional_Agrupamento_1;
  std::string ID_Agrupamento_2;
  std::string Inf_Adicional_Agrupamento_2;
};

// A per-vehicle result. The service never fills one; it exists in the contract.
class TResultTelemetria final : public TROStruct<TResultTelemetria> {
 public:
  static const TROClassInfo kClassInfo;
  static std::span<const TROField<TResultTelemetria>> Fields();

  std::string ID_Veiculo;
  int Codigo_Erro = 0;
  std::string Descricao;
};

class TListaIntegraTelemetria final : public TROArrayOf<TListaIntegraTelemetria, TIntegraTelemetria> {
 public:
  static const TROClassInfo kClassInfo;
};

class TListaResultTelemetria final : public TROArrayOf<TListaResultTelemetria, TResultTelemetria> {
 public:
  static const TROClassInfo kClassInfo;
};

// The service interface. Enviar takes the client's list,
// which may be missing (nullptr), and returns the result list, or nullptr after an error.
class IServicoTelemetria {
 public:
  virtual ~IServicoTelemetria() = default;
  virtual std::unique_ptr<TListaResultTelemetria> Enviar(const TListaIntegraTelemetria* ListaTelemetria) = 0;
};

// The registry of the four serializable classes of this contract, filled once on first use
// and only read afterwards.
const TROClassRegistry& SerializableClasses();

}  // namespace qit
