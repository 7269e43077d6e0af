#pragma once

#include <string>
#include <vector>

#include "description/RODLLibrary.h"

namespace qit {

// What one service description is written for.
struct WsdlTarget {
  std::string target_namespace;  // "urn:" is put in front when it holds no ":"
  std::string location;          // the service address, before "?service=..."
  std::string service_name;      // empty: every service of the library
  std::string xsd_name;          // a schema asked for by name; none is ever served
};

// Writes the WSDL 1.1 document (document/literal, one wrapper element per request and
// response) of an interface definition, as a list of lines without line ends.
class TRODLToWSDL {
 public:
  explicit TRODLToWSDL(const TRODLLibrary& library) : library_(library) {}

  // Fails with "Invalid TargetEntity "<name>"" for a service name the library lacks, with
  // "No xsd by that name" for any schema name, and for a data type it cannot map.
  std::vector<std::string> Generate(const WsdlTarget& target) const;

 private:
  const TRODLLibrary& library_;
};

}  // namespace qit
