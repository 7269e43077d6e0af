#include "description/ServiceDescription.h"

#include <fmt/format.h>

#include "common/Text.h"
#include "description/ServiceDescriptionPages.h"
#include "description/TRODLToWSDL.h"
#include "common/XmlText.h"

namespace qit {

std::string ServicesListPage(const TRODLLibrary& library, std::string_view custom_location) {
  std::string page = fmt::format(
      "<html>\r\n<head>\r\n<title>{0}</title>\r\n</head>\r\n<body>\r\n<p><font size=\"7\">{0}</font></p>\r\n"
      "<p>The following services are supported:</p><ul>",
      library.Name);
  for (const TRODLService& service : library.Services)
    fmt::format_to(std::back_inserter(page), "<li><a href=\"{}?service={}\">{}</a></li>\r\n", custom_location,
                   service.Name, service.Name);
  page += "</ul></body></html>";
  return page;
}

std::string WsdlErrorPage(std::string_view message) {
  return fmt::format(
      "<html><head><title>Error</title></head><body><font size=7>Error</font><br />An error occured generating WSDL: "
      "{}</body></html>",
      XmlEscape(message));
}

std::string WriteServiceDescriptionOf(const TRODLLibrary& library, IHTTPTransport& transport, std::string& response,
                                      const WsdlSettings& settings) {
  response.clear();
  WsdlTarget target;
  target.service_name = transport.QueryParameter("service");
  target.location = Trim(settings.custom_location).empty() ? transport.RequestLocation() + transport.RequestPath()
                                                           : settings.custom_location;
  if (target.service_name.empty()) target.xsd_name = transport.QueryParameter("xsd");
  target.target_namespace = !settings.server_target_namespace.empty() ? settings.server_target_namespace
                            : !library.TargetNamespace.empty()        ? library.TargetNamespace
                                                                      : kDefaultTargetNamespace;
  if (library.Services.size() >= 2 && target.service_name.empty() && settings.split_service_wsdls) {
    response = ServicesListPage(library, settings.custom_location);
    return "text/html";
  }
  try {
    for (const std::string& line : TRODLToWSDL(library).Generate(target)) {
      response += line;
      response += "\r\n";
    }
  } catch (const std::exception& error) {
    // A description that cannot be generated is still an answer: the page tells why.
    response = WsdlErrorPage(error.what());
    return "text/html";
  }
  return kXmlUtf8ContentType;
}

std::string WriteServiceDescription(IHTTPTransport& transport, std::string& response, const WsdlSettings& settings) {
  return WriteServiceDescriptionOf(ReadStoredRODLLibrary(), transport, response, settings);
}

}  // namespace qit
