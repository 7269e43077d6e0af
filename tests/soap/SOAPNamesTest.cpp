#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "soap/SOAPNames.h"

namespace qit {

// How a failed comparison shows the names.
void PrintTo(const TSOAPNames& names, std::ostream* os) {
  *os << "{library '" << names.library_name << "', interface '" << names.interface_name << "', message '"
      << names.message_name << "'}";
}

namespace {

TEST(SOAPNames, ResolvesFromActionElementOrNamespace) {
  const std::string kSoapEnv = "http://schemas.xmlsoap.org/soap/envelope/";
  struct Case {
    std::string what;
    TSOAPNameSources sources;
    TSOAPNames expected;
  };
  const std::vector<Case> cases = {
      {"SOAPAction without quotes names all three, whatever the element",
       {.soap_action = "urn:IntegracaoTelemetria-ServicoTelemetria#Enviar", .message_local_name = "Anything",
        .message_namespace = "http://tempuri.org/"},
       {"IntegracaoTelemetria", "ServicoTelemetria", "Enviar"}},
      {"SOAPAction in double quotes",
       {.soap_action = "\"urn:IntegracaoTelemetria-ServicoTelemetria#Enviar\"",
        .message_local_name = "ServicoTelemetria___Outra"},
       {"IntegracaoTelemetria", "ServicoTelemetria", "Enviar"}},
      {"document-style element name, library from its namespace",
       {.message_local_name = "ServicoTelemetria___Enviar", .message_namespace = "http://tempuri.org/",
        .body_namespace = kSoapEnv, .envelope_namespace = kSoapEnv},
       {"http://tempuri.org/", "ServicoTelemetria", "Enviar"}},
      {"element in a urn: namespace, through the fallback",
       {.message_local_name = "Enviar", .message_namespace = "urn:IntegracaoTelemetria-ServicoTelemetria",
        .body_namespace = kSoapEnv, .envelope_namespace = kSoapEnv,
        .first_attribute = "urn:IntegracaoTelemetria-ServicoTelemetria"},
       {"IntegracaoTelemetria", "ServicoTelemetria", "Enviar"}},
      {"urn: namespace found on the Body when the element has none",
       {.message_local_name = "ServicoTelemetria_EnviarIn", .body_namespace = "urn:Lib-ServicoTelemetria",
        .envelope_namespace = kSoapEnv},
       {"Lib", "ServicoTelemetria", "Enviar"}},
      {"interface prefix and a trailing Out are removed",
       {.message_local_name = "ServicoTelemetria_EnviarOut", .message_namespace = "urn:Lib-ServicoTelemetria"},
       {"Lib", "ServicoTelemetria", "Enviar"}},
      {"the service query parameter replaces the interface of the fallback",
       {.service_name = "OutroServico", .message_local_name = "Enviar", .message_namespace = "urn:Lib-Interface"},
       {"Lib", "OutroServico", "Enviar"}},
      {"a SOAPAction without '-' and '#' leaves the names to the fallback",
       {.soap_action = "\"\"", .message_local_name = "ServicoTelemetria___Enviar",
        .message_namespace = "http://tempuri.org/", .first_attribute = "http://tempuri.org/"},
       {"", "ServicoTelemetria", "Enviar"}},
      {"no namespace and no attribute: the element gives only the message",
       {.message_local_name = "Enviar"},
       {"", "", "Enviar"}},
      {"a SOAPAction that names no operation",
       {.soap_action = "urn:Lib-ServicoTelemetria#", .message_local_name = "Enviar"},
       {"", "", "Enviar"}},
  };
  for (const Case& c : cases) EXPECT_EQ(ResolveSOAPNames(c.sources), c.expected) << c.what;
}

}  // namespace
}  // namespace qit
