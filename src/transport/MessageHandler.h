#pragma once

#include <string>
#include <string_view>

#include "service/ROTransport.h"

namespace qit {

// What a listener's dispatcher hands a request to: the message handler of its path.
class IMessageHandler {
 public:
  virtual ~IMessageHandler() = default;
  // Class name shown on the information page ("TROSOAPMessage").
  virtual std::string ClassName() const = 0;
  // Name of the metadata sub-path ("wsdl"); empty when the handler has none.
  virtual std::string MetadataName() const = 0;
  // Processes one request body on a private copy of the handler. Returns false when the
  // response holds a fault.
  virtual bool ProcessMessage(IHTTPTransport& transport, std::string_view request, std::string& response) = 0;
  // Writes the service description into response (emptied first) and returns its content type.
  virtual std::string WriteServiceDescription(IHTTPTransport& transport, std::string& response) = 0;
};

}  // namespace qit
