// Stand-in for the program in bench/http-bench while the SOAP message is not wired into the
// host: the real listener and routing, with a handler that parses each Enviar envelope and
// answers with an empty result list, as the service does.
//   http_bench_server PORT [IO_THREADS]

#include <csignal>
#include <cstdlib>
#include <iostream>
#include <pugixml.hpp>

#include "TestMessageHandler.h"
#include "transport/TROHTTPServer.h"

namespace {

constexpr const char* kEnviarResponse =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<SOAP-ENV:Envelope "
    "xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
    "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" xmlns:HNS=\"http://tempuri.org/\" "
    "xmlns:SOAP-ENC=\"http://schemas.xmlsoap.org/soap/encoding/\" xmlns:v1=\"http://tempuri.org/\">"
    "<SOAP-ENV:Header><ROClientIDHeader SOAP-ENV:mustUnderstand=\"0\" xmlns=\"urn:IntegracaoTelemetria\">"
    "<ID>{5B3C6F0A-1D2E-4F8A-9B7C-0D1E2F3A4B5C}</ID></ROClientIDHeader></SOAP-ENV:Header>"
    "<SOAP-ENV:Body xmlns:ro=\"urn:IntegracaoTelemetria\"><v1:ServicoTelemetria___EnviarResponse><v1:Result>"
    "</v1:Result></v1:ServicoTelemetria___EnviarResponse></SOAP-ENV:Body></SOAP-ENV:Envelope>\n";

class EnviarHandler : public qit::test::TestMessageHandler {
 protected:
  bool ProcessBody(qit::IHTTPTransport& transport, std::string_view request, std::string& response) override {
    pugi::xml_document envelope;
    if (!envelope.load_buffer(request.data(), request.size())) {
      response = "<fault/>";
      return false;
    }
    transport.SetResponseContentType("text/xml; charset=\"utf-8\"");
    response = kEnviarResponse;
    return true;
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: http_bench_server PORT [IO_THREADS]\n";
    return 2;
  }
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);  // before the pool's threads start

  auto dispatchers = std::make_shared<qit::TROHTTPMessageDispatchers>();
  dispatchers->Add({"SOAPMessage", std::make_shared<EnviarHandler>(), true, "Integracao_Telemetria"});
  qit::HttpIoPool pool(argc > 2 ? std::atoi(argv[2]) : 2);
  qit::TROHTTPServer server(pool, dispatchers);
  server.SetPort(std::atoi(argv[1]));
  server.SetActive(true);

  int signal = 0;
  sigwait(&stop_signals, &signal);
  server.SetActive(false);
  pool.Stop();
  return 0;
}
