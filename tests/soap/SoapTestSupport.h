#pragma once

#include <chrono>
#include <map>
#include <string>

#include "common/Text.h"
#include "contract/ROTransport.h"

// What tests of SOAP requests share: an HTTP exchange held in memory and the envelopes of
// Enviar calls. The service tests, which call Enviar through the SOAP message, use it too.
namespace qit::testing {

// An HTTP exchange held in memory: request headers and query parameters the test sets, and
// the response fields the code under test shapes.
class FakeTransport final : public IHTTPTransport {
 public:
  std::map<std::string, std::string, TextLess> headers;
  std::map<std::string, std::string> query;
  std::string content_type = "text/html";
  int local_port = 0;
  std::chrono::steady_clock::time_point received;

  IHTTPTransport* TransportInstance() override { return this; }
  std::string PeerAddress() const override { return "127.0.0.1"; }
  int LocalPort() const override { return local_port; }
  std::chrono::steady_clock::time_point RequestReceived() const override { return received; }
  void SetResponseHeader(const std::string&, const std::string&) override {}
  std::string RequestHeader(const std::string& name) const override {
    const auto found = headers.find(name);
    return found == headers.end() ? std::string() : found->second;
  }
  std::string ResponseContentType() const override { return content_type; }
  void SetResponseContentType(const std::string& value) override { content_type = value; }
  std::string ServerSoftware() const override { return {}; }
  void SetServerSoftware(const std::string&) override {}
  std::string TargetAddress() const override { return {}; }
  void SetTargetAddress(const std::string&) override {}
  void SetPathOverride(const std::string&) override {}
  std::string RequestPath() const override { return "/Integracao_Telemetria"; }
  std::string RequestQuery() const override { return {}; }
  std::string RequestLocation() const override { return "http://" + RequestHeader("Host"); }
  std::string QueryParameter(const std::string& name) const override {
    const auto found = query.find(name);
    return found == query.end() ? std::string() : found->second;
  }
};

// A SOAP request of Enviar: the Envelope whose message element holds the given XML.
inline std::string EnviarEnvelope(const std::string& lista_xml) {
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
         "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\" xmlns:tns=\"http://tempuri.org/\">\n"
         "  <soap:Body>\n"
         "    <tns:ServicoTelemetria___Enviar>" +
         lista_xml +
         "</tns:ServicoTelemetria___Enviar>\n"
         "  </soap:Body>\n"
         "</soap:Envelope>\n";
}

// One TIntegraTelemetria item with ID_Veiculo = id and the other fields filled.
inline std::string ItemXml(const std::string& id) {
  return "<tns:TIntegraTelemetria>"
         "<tns:ID_Veiculo>" + id + "</tns:ID_Veiculo>"
         "<tns:DataOperacao>2024-03-01</tns:DataOperacao>"
         "<tns:DataHoraInicio>2024-03-01T08:30:00</tns:DataHoraInicio>"
         "<tns:DataHoraTermino>2024-03-01T09:45:10</tns:DataHoraTermino>"
         "<tns:ID_Motorista>M1</tns:ID_Motorista>"
         "<tns:Inf_Adicional_Motorista>Maria</tns:Inf_Adicional_Motorista>"
         "<tns:ID_Agrupamento_1>A1</tns:ID_Agrupamento_1>"
         "<tns:Inf_Adicional_Agrupamento_1>Rota 1</tns:Inf_Adicional_Agrupamento_1>"
         "<tns:ID_Agrupamento_2>A2</tns:ID_Agrupamento_2>"
         "<tns:Inf_Adicional_Agrupamento_2>Turno</tns:Inf_Adicional_Agrupamento_2>"
         "</tns:TIntegraTelemetria>";
}

}  // namespace qit::testing
