#pragma once

#include <string>

#include "contract/ROTransport.h"

namespace qit {

// Target namespace of the SOAP messages and the WSDL when none is configured.
inline constexpr const char* kDefaultTargetNamespace = "http://tempuri.org/";

// Settings of the message handler that shape the service description.
struct WsdlSettings {
  std::string server_target_namespace;  // empty: kDefaultTargetNamespace
  std::string custom_location;          // empty: the address comes from the request
  bool split_service_wsdls = true;
};

// Writes the WSDL (or the services list or error page) into response, emptied first, and
// returns the content type to answer with.
std::string WriteServiceDescription(IHTTPTransport& transport, std::string& response, const WsdlSettings& settings);

}  // namespace qit
