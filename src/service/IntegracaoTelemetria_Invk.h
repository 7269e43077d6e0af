#pragma once

#include "contract/ROServer.h"

namespace qit {

// The invoker of ServicoTelemetria: reads the call's parameter, runs the operation on the
// per-call instance and writes the response.
class TServicoTelemetria_Invoker final : public TROInvoker {
 public:
  TServicoTelemetria_Invoker();

  static void Invoke_Enviar(TRORemoteDataModule& instance, IROMessage& message, IROTransport& transport);
};

}  // namespace qit
