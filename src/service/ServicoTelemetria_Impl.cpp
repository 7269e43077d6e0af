#include "service/ServicoTelemetria_Impl.h"

#include <exception>
#include <functional>
#include <string_view>

#include "common/Text.h"
#include "service/IntegracaoTelemetria_Invk.h"

namespace qit {

namespace {

// The port text of a Host value: what follows the first ":", or the whole value without
// one. A bracketed IPv6 address ("[::1]:10166") names its port after "]:".
std::string_view PortText(std::string_view host) {
  if (!host.empty() && host.front() == '[') {
    const std::size_t end = host.find("]:");
    return end == std::string_view::npos ? host : host.substr(end + 2);
  }
  const std::size_t colon = host.find(':');
  return colon == std::string_view::npos ? host : host.substr(colon + 1);
}

// A port named in Host: decimal, 1 to 65535; nothing for any other text.
std::optional<int> PortNumber(std::string_view text) {
  const std::optional<int> port = ParseInt32(text);
  if (!port || *port < 1 || *port > 65535) return std::nullopt;
  return port;
}

}  // namespace

int TServicoTelemetria::CompanyCode(TVoradaLogger* log) {
  IHTTPTransport* http = Transport() != nullptr ? Transport()->TransportInstance() : nullptr;
  if (http == nullptr) return 0;
  const std::string host = http->RequestHeader("Host");
  if (log != nullptr) log->Registrar({}, false, "Host=" + RequestText(host), stError);
  if (const std::optional<int> port = PortNumber(PortText(host))) {
    const std::optional<int> company_code = environment_.CompanyCodeOfPort(*port);
    if (!company_code) return 0;
    if (log != nullptr) log->Registrar({}, false, "Porta=" + std::to_string(*company_code), stError);
    return *company_code;
  }
  // No usable port in Host (a proxy forwards the name alone): the call did reach a company's
  // port, the one it arrived on.
  const int local_port = http->LocalPort();
  const std::optional<int> company_code = environment_.CompanyCodeOfPort(local_port);
  if (!company_code) return 0;
  if (log != nullptr)
    log->Registrar({}, false,
                   "Porta=" + std::to_string(*company_code) + " (Host sem porta válida: empresa da porta " +
                       std::to_string(local_port) + ", que recebeu a chamada)",
                   stError);
  return *company_code;
}

std::unique_ptr<TListaResultTelemetria> TServicoTelemetria::Enviar(const TListaIntegraTelemetria* ListaTelemetria) {
  TVoradaLogger* log = environment_.Log();
  try {
    const int company_code = CompanyCode(log);
    if (ISendQueueProducer* queue = environment_.InserirIntegracao()) {
      if (std::function<void(std::exception_ptr)> settle = Message() != nullptr ? Message()->HoldAnswer() : nullptr) {
        // The answer waits for the list to reach the disk, and the thread goes on meanwhile.
        queue->QueueList(ListaTelemetria, company_code,
                         [settle = std::move(settle), log, &environment = environment_, port = LocalPort(),
                          received = RequestReceived()](std::exception_ptr error) {
                           if (error) LogFailure(log, error);
                           environment.CountEnviar(port, !error, std::chrono::steady_clock::now() - received);
                           settle(error);
                         });
        counted_later_ = true;
      } else {
        queue->AdicionarListaDeEnvio(ListaTelemetria, company_code);
      }
    }
    auto result = std::make_unique<TListaResultTelemetria>();
    queued_ = true;
    return result;
  } catch (const std::exception& error) {
    // The list was not queued: the client gets a fault (status 500), not a result, so that
    // it knows to send the list again.
    if (log != nullptr) log->RegistrarExcecao(&error, "Enviar ", true);
    throw;
  }
}

void TServicoTelemetria::LogFailure(TVoradaLogger* log, const std::exception_ptr& error) noexcept {
  if (log == nullptr) return;
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& failure) {
    log->RegistrarExcecao(&failure, "Enviar ", true);
  } catch (...) {
  }
}

int TServicoTelemetria::LocalPort() const {
  IHTTPTransport* http = Transport() != nullptr ? Transport()->TransportInstance() : nullptr;
  return http != nullptr ? http->LocalPort() : 0;
}

std::chrono::steady_clock::time_point TServicoTelemetria::RequestReceived() const {
  IHTTPTransport* http = Transport() != nullptr ? Transport()->TransportInstance() : nullptr;
  const std::chrono::steady_clock::time_point received =
      http != nullptr ? http->RequestReceived() : std::chrono::steady_clock::time_point();
  return received != std::chrono::steady_clock::time_point() ? received : created_;
}

void TServicoTelemetria::OnDeactivate() noexcept {
  if (!counted_later_)
    environment_.CountEnviar(LocalPort(), queued_, std::chrono::steady_clock::now() - RequestReceived());
}

std::unique_ptr<TROClassFactory> NewServicoTelemetriaFactory(IEnviarEnvironment& environment) {
  return std::make_unique<TROClassFactory>(kServicoTelemetriaName, std::make_unique<TServicoTelemetria_Invoker>(),
                                           [&environment] { return std::make_unique<TServicoTelemetria>(environment); });
}

}  // namespace qit
