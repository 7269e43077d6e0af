#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/Text.h"
#include "logging/VoradaLogger.h"
#include "service/ListaDeEnvio.h"
#include "service/ROTransport.h"
#include "service/ServicoTelemetria_Impl.h"

namespace qit::testing {

// An HTTP exchange held in memory: request headers and query parameters the test sets, and
// the response fields the code under test shapes.
class FakeTransport final : public IHTTPTransport {
 public:
  std::map<std::string, std::string, TextLess> headers;
  std::map<std::string, std::string> query;
  std::string content_type = "text/html";

  IHTTPTransport* TransportInstance() override { return this; }
  std::string PeerAddress() const override { return "127.0.0.1"; }
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

// A transport that is not HTTP.
class OtherTransport final : public IROTransport {
 public:
  IHTTPTransport* TransportInstance() override { return nullptr; }
};

// A scratch folder, removed with its contents at the end of the test.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// A logger writing below a scratch folder, and the texts of the lines it wrote (the time
// stamp cut off), in order.
class TestLog {
 public:
  TestLog();
  TVoradaLogger& Logger() { return logger_; }
  std::vector<std::string> Texts() const;

 private:
  TempFolder folder_;
  TVoradaLogger logger_;
};

// What Enviar reads from the program: a log, the company listeners (port, code) in position
// order, and the queue.
class FakeAmbiente final : public IEnviarAmbiente {
 public:
  TVoradaLogger* log = nullptr;
  std::vector<std::pair<int, int>> servidores;
  IListaDeEnvio* fila = nullptr;

  TVoradaLogger* Log() override { return log; }
  std::optional<int> CodigoEmpresaDaPorta(int porta) override {
    for (const auto& [port, codigo] : servidores)
      if (port == porta) return codigo;
    return std::nullopt;
  }
  IListaDeEnvio* InserirIntegracao() override { return fila; }
};

// A SOAP request of Enviar: the Envelope whose message element holds the given XML.
std::string EnviarEnvelope(const std::string& lista_xml);
// One TIntegraTelemetria item with ID_Veiculo = id and the other fields filled.
std::string ItemXml(const std::string& id);

}  // namespace qit::testing
