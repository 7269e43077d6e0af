#pragma once

#include <optional>
#include <string>

namespace qit {

// What a request offers for naming the call.
struct TSOAPNameSources {
  std::string soap_action = {};         // the SOAPAction header as sent
  std::string service_name = {};        // the "service" query parameter
  std::string message_local_name = {};  // local name of the Body's message element
  std::string message_namespace = {};   // namespace URIs of the message element, the Body, the Envelope
  std::string body_namespace = {};
  std::string envelope_namespace = {};
  std::optional<std::string> first_attribute = {};  // text of the message element's first attribute
};

struct TSOAPNames {
  std::string library_name;
  std::string interface_name;
  std::string message_name;

  friend bool operator==(const TSOAPNames&, const TSOAPNames&) = default;
};

// Works out library, interface and operation from the SOAPAction ("urn:Library-Interface#
// Operation"), else from a message element named Interface + "___" + Operation, else from a
// "urn:Library-Interface" namespace and the element's name. Names may come out empty.
TSOAPNames ResolveSOAPNames(const TSOAPNameSources& sources);

}  // namespace qit
