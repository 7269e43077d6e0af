#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "contract/ROClassRegistry.h"
#include "contract/ROServer.h"
#include "contract/MessageHandler.h"
#include "description/ServiceDescription.h"
#include "soap/ArrayReadLimits.h"
#include "soap/ROXMLSerializationOptions.h"

namespace qit {

// The SOAP 1.1 message handler. It holds only settings, which do not change while listeners
// are active, and is shared by every listener thread: each request is read, invoked and
// answered by a SoapRequest of its own (SoapRequest.h).
class TROSOAPMessage final : public IMessageHandler {
 public:
  // factories: the services requests can reach; classes: the serializable classes of their
  // contract, which the reader checks type attributes against and creates values of.
  TROSOAPMessage(const TROClassFactoryList& factories, const TROClassRegistry& classes,
                 TROXMLSerializationOptions options = kSOAPMessageOptions, WsdlSettings wsdl_settings = {});

  // IMessageHandler. ProcessMessage answers a 0-byte body with the service description, a
  // 4-byte body with the interface-definition document, a 5-byte body with "PROBEDOK", and
  // anything else as a SOAP request; the answer is complete when it returns, unless the
  // operation held it (Enviar's list on its way to the disk): done is then called when the
  // operation has ended.
  std::string ClassName() const override { return "TROSOAPMessage"; }
  std::string MetadataName() const override { return "wsdl"; }
  void ProcessMessage(IHTTPTransport& transport, std::string_view request, std::string& response,
                      MessageCompletion done) override;
  std::string WriteServiceDescription(IHTTPTransport& transport, std::string& response) override;

  // What ProcessMessage answers, complete on the calling thread (no operation holds its
  // answer): false when the response holds a fault.
  bool Answer(IHTTPTransport& transport, std::string_view request, std::string& response) const;

  const TROClassFactoryList& Factories() const { return factories_; }
  const TROClassRegistry& Classes() const { return classes_; }
  TROXMLSerializationOptions Options() const { return options_; }
  // The namespace of the message elements and of the "HNS" prefix.
  const std::string& TargetNamespace() const { return target_namespace_; }

  // What the arrays of a request may become once read (no bound until set). Set before any
  // listener dispatches to this handler: requests read it without a lock.
  void SetArrayReadLimits(ArrayReadLimits limits) { array_read_limits_ = std::move(limits); }
  const ArrayReadLimits& ReadLimits() const { return array_read_limits_; }

 private:
  // The answers to the bodies of 0, 4 and 5 bytes; nullopt for any other body.
  std::optional<bool> AnswerShortBody(IHTTPTransport& transport, std::string_view request,
                                      std::string& response) const;

  const TROClassFactoryList& factories_;
  const TROClassRegistry& classes_;
  const TROXMLSerializationOptions options_;
  const WsdlSettings wsdl_settings_;
  const std::string target_namespace_;
  ArrayReadLimits array_read_limits_;
};

}  // namespace qit
