#pragma once

#include <string>
#include <string_view>

#include "contract/MessageHandler.h"
#include "description/ServiceDescription.h"

namespace qit::test {

// Stands in for the SOAP message in tests, the fuzz target and the bench harness: it carries
// the SOAP message's class name and metadata path, and answers a request without a body with
// the real service description, as the SOAP message does. Subclasses answer the bodies.
class TestMessageHandler : public IMessageHandler {
 public:
  std::string ClassName() const override { return "TROSOAPMessage"; }
  std::string MetadataName() const override { return "wsdl"; }
  void ProcessMessage(IHTTPTransport& transport, std::string_view request, std::string& response,
                      MessageCompletion done) override {
    if (!request.empty()) return done(ProcessBody(transport, request, response));
    transport.SetResponseContentType(WriteServiceDescription(transport, response));
    done(true);
  }
  std::string WriteServiceDescription(IHTTPTransport& transport, std::string& response) override {
    return qit::WriteServiceDescription(transport, response, WsdlSettings{});
  }

 protected:
  virtual bool ProcessBody(IHTTPTransport& transport, std::string_view request, std::string& response) = 0;
};

}  // namespace qit::test
