#pragma once

#include <exception>
#include <memory>
#include <string>
#include <string_view>

#include <pugixml.hpp>

#include "service/IntegracaoTelemetria_Intf.h"
#include "service/ROMessage.h"
#include "service/ROServer.h"
#include "transport/MessageHandler.h"
#include "transport/ServiceDescription.h"
#include "transport/soap/ROXMLSerializationOptions.h"
#include "transport/soap/TROXMLSerializer.h"

namespace qit {

// The SOAP 1.1 message handler. The configured instance only holds settings and is shared by
// every listener thread; each request is processed on its own copy (Clone), which parses the
// request envelope, runs the operation through the class factory of the interface it names,
// and writes the response envelope, or a fault envelope for any error.
class TROSOAPMessage final : public IMessageHandler, public IROMessage {
 public:
  explicit TROSOAPMessage(const TROClassFactoryList& factories, TROXMLSerializationOptions options = kSOAPMessageOptions,
                          WsdlSettings wsdl_settings = {}, const TROClassRegistry& classes = SerializableClasses());

  // A fresh message with the same settings and a new random client identifier.
  std::unique_ptr<TROSOAPMessage> Clone() const;

  // IMessageHandler. ProcessMessage answers a 0-byte body with the service description, a
  // 4-byte body with the interface-definition document, a 5-byte body with "PROBEDOK", and
  // anything else as a SOAP request.
  std::string ClassName() const override { return "TROSOAPMessage"; }
  std::string MetadataName() const override { return "wsdl"; }
  bool ProcessMessage(IHTTPTransport& transport, std::string_view request, std::string& response) override;
  std::string WriteServiceDescription(IHTTPTransport& transport, std::string& response) override;

  // The steps of one request, in call order.
  void PrepareRead(IROTransport& transport);
  void ReadEnvelope(std::string_view request);
  void WriteEnvelope(std::string& response);
  void InitializeFault(IROTransport& transport, std::string_view library, std::string_view interface_name,
                       std::string_view message_name);
  void WriteFault(std::string& response, const std::exception& error);

  // IROMessage.
  const std::string& InterfaceName() const override { return interface_name_; }
  const std::string& MessageName() const override { return message_name_; }
  const TGuid& ClientID() const override { return client_id_; }
  std::unique_ptr<TROSerializable> ReadParameter(std::string_view name, const TROClassInfo& type) override;
  void InitializeResponse(IROTransport& transport, std::string_view library, std::string_view interface_name,
                          std::string_view message_name) override;
  void WriteParameter(std::string_view name, const TROClassInfo& type, const TROSerializable* value) override;
  void FinalizeMessage() override {}
  void ClearAttributes(IROTransport& transport) override {}

  const std::string& LibraryName() const { return library_name_; }
  const std::string& TargetNamespace() const { return target_namespace_; }

 private:
  // Steps 3 to 9 of a request: read, invoke, write; any error becomes a fault.
  bool ProcessRequest(IHTTPTransport& transport, std::string_view request, std::string& response);
  void ReadHeader(const pugi::xml_node& header);
  std::string LibraryNamespace() const;
  // A new response document: declaration, Envelope with its namespaces, Header and Body.
  void StartEnvelope();
  void AppendClientIDHeader();

  // Settings, shared by every copy.
  const TROClassFactoryList& factories_;
  const TROXMLSerializationOptions options_;
  const WsdlSettings wsdl_settings_;
  const TROClassRegistry& classes_;
  const std::string target_namespace_;

  // Per-message state.
  std::string library_name_;
  std::string interface_name_;
  std::string message_name_;
  TGuid client_id_;
  std::string soap_action_;
  std::string service_name_;
  pugi::xml_document request_;
  pugi::xml_node request_message_;
  TROXMLSerializer reader_;
  pugi::xml_document response_;
  pugi::xml_node response_header_;
  pugi::xml_node response_body_;
  TROXMLSerializer writer_;
};

}  // namespace qit
