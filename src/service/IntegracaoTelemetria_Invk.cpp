#include "service/IntegracaoTelemetria_Invk.h"

#include "common/Errors.h"
#include "contract/IntegracaoTelemetria_Intf.h"

namespace qit {

TServicoTelemetria_Invoker::TServicoTelemetria_Invoker() { Publish("Invoke_Enviar", &Invoke_Enviar); }

void TServicoTelemetria_Invoker::Invoke_Enviar(TRORemoteDataModule& instance, IROMessage& message,
                                               IROTransport& transport) {
  // Both lists are owned here and freed when the call ends, whether it succeeds or not;
  // whatever the operation keeps it has copied.
  const std::unique_ptr<TListaIntegraTelemetria> lista = ReadParameterAs<TListaIntegraTelemetria>(message, "ListaTelemetria");
  auto* servico = dynamic_cast<IServicoTelemetria*>(&instance);
  if (servico == nullptr) throw Exception("Interface not supported", "EIntfCastError");
  const std::unique_ptr<TListaResultTelemetria> result = servico->Enviar(lista.get());
  message.InitializeResponse(transport, kLibraryName, kServicoTelemetriaName, "EnviarResponse");
  message.WriteParameter("Result", TListaResultTelemetria::kClassInfo, result.get());
  message.FinalizeMessage();
  message.ClearAttributes(transport);
}

}  // namespace qit
