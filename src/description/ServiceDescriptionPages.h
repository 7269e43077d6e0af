#pragma once

#include <string>
#include <string_view>

#include "description/RODLLibrary.h"
#include "description/ServiceDescription.h"

namespace qit {

inline constexpr const char* kXmlUtf8ContentType = "text/xml; charset=\"utf-8\"";

// WriteServiceDescription over a given definition rather than the stored one.
std::string WriteServiceDescriptionOf(const TRODLLibrary& library, IHTTPTransport& transport, std::string& response,
                                      const WsdlSettings& settings);

// The page that links the description of each service of a library.
std::string ServicesListPage(const TRODLLibrary& library, std::string_view custom_location);

// The page that answers a description that could not be generated.
std::string WsdlErrorPage(std::string_view message);

}  // namespace qit
