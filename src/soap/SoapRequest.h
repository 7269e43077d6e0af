#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include <pugixml.hpp>

#include "contract/HeldAnswer.h"
#include "contract/ROMessage.h"
#include "soap/TROSOAPMessage.h"
#include "soap/TROXMLSerializer.h"

namespace qit {

// One SOAP request from its body to its answer: it parses the request envelope, runs the
// operation through the class factory of the interface it names, and writes the response
// envelope, or a fault envelope for any error. It is the message the invoker reads the
// parameters from and writes the result to. Used by one thread at a time, for one request;
// the handler whose settings it reads must outlive it.
class SoapRequest final : public IROMessage {
 public:
  // Whether an operation may hold the answer (HoldAnswer gives a settler) or must end first.
  enum AnswerMode { kAnswerAtOnce, kMayHoldAnswer };

  // Empty names, no documents, and a new random client identifier.
  explicit SoapRequest(const TROSOAPMessage& handler, AnswerMode mode = kAnswerAtOnce);
  SoapRequest(const SoapRequest&) = delete;
  SoapRequest& operator=(const SoapRequest&) = delete;

  // Reads, invokes and writes the answer; any error is answered with a fault, and false is
  // returned. An error while writing the fault itself leaves this function.
  bool Process(IHTTPTransport& transport, std::string_view request, std::string& response);

  // The steps of one request, in call order.
  void PrepareRead(IROTransport& transport);
  void ReadEnvelope(std::string_view request);
  void WriteEnvelope(std::string& response);
  void InitializeFault(IROTransport& transport, std::string_view library, std::string_view interface_name,
                       std::string_view message_name);
  void WriteFault(std::string& response, const std::exception& error);
  // The fault of a call that failed: names and content type set, the envelope written.
  void AnswerFault(IROTransport& transport, std::string& response, const std::exception& error);

  // The answer the operation held, once Process has returned true; nullptr when it did not.
  const std::shared_ptr<HeldAnswer>& Held() const { return held_; }
  // Lets the request's document go, for a request whose answer waits.
  void ReleaseRequest() { request_.reset(); }

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
  std::function<void(std::exception_ptr error)> HoldAnswer() override;

  const std::string& LibraryName() const { return library_name_; }

 private:
  void Invoke(IHTTPTransport& transport);
  void ReadHeader(const pugi::xml_node& header);
  // The names of the call, and the transport's content type set for the answer.
  void SetNames(IROTransport& transport, std::string_view interface_name, std::string_view message_name);
  std::string LibraryNamespace() const;
  // A new response document: declaration, Envelope with its namespaces, Header and Body.
  void StartEnvelope();
  // Appends the client identifier header and writes the document into response.
  void FinishEnvelope(std::string& response);

  const TROSOAPMessage& handler_;
  const AnswerMode mode_;
  std::shared_ptr<HeldAnswer> held_;

  std::string library_name_;
  std::string interface_name_;
  std::string message_name_;
  TGuid client_id_;
  std::string soap_action_;
  std::string service_name_;
  pugi::xml_document request_;
  TROXMLSerializer reader_;
  pugi::xml_document response_;
  pugi::xml_node response_header_;
  pugi::xml_node response_body_;
  TROXMLSerializer writer_;
};

}  // namespace qit
