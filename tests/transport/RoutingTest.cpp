#include <gtest/gtest.h>

#include <fmt/format.h>

#include "HttpTestClient.h"
#include "common/Resources.h"

namespace qit {
namespace {

using test::Exchange;
using test::ParseResponse;
using test::RawResponse;
using test::TestServer;

constexpr const char* kXmlUtf8 = "text/xml; charset=\"utf-8\"";
constexpr const char* kWsdlStart = "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\r\n<wsdl:definitions \r\n";
constexpr const char* kInvalidPath =
    "<font size=\"7\">500 Invalid Path</font><br />Cannot find message dispatcher. Maybe there is no message "
    "component configured for the requested path?";

std::string Request(std::string_view method, std::string_view target, std::string_view body = {}) {
  std::string request = fmt::format("{} {} HTTP/1.1\r\nHost: servidor:10166\r\n", method, target);
  if (!body.empty()) request += fmt::format("Content-Length: {}\r\n", body.size());
  request += "\r\n";
  request += body;
  return request;
}

struct RouteCase {
  std::string method;
  std::string target;
  std::string body;
  int status;
  std::string content_type;
  std::string answer;  // the whole body, or its start when starts_with is set
  bool starts_with = false;
};

void CheckRoutes(int port, const std::vector<RouteCase>& cases) {
  for (const RouteCase& c : cases) {
    SCOPED_TRACE(c.method + " " + c.target + " [" + c.body + "]");
    const RawResponse response = ParseResponse(Exchange(port, Request(c.method, c.target, c.body)));
    EXPECT_EQ(response.status_line, c.status == 200 ? "HTTP/1.1 200 OK" : "HTTP/1.1 500 Internal Server Error");
    EXPECT_EQ(response.Header("Content-Type"), c.content_type);
    if (c.starts_with)
      EXPECT_EQ(response.body.substr(0, c.answer.size()), c.answer);
    else
      EXPECT_EQ(response.body, c.answer);
  }
}

TEST(RoutingTest, RequestsReachTheirAnswersByPath) {
  TestServer server;
  const std::string rodl(FindResource("RODLFILE"));
  const std::string css(FindResource("DOCCSS"));
  const std::string xslt(FindResource("DOCXSLT"));
  const std::string icon(FindResource("FAVICON"));
  const std::string doc_start =
      "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<?xml-stylesheet type=\"text/xsl\" href=\"/doc/xslt\"?>\r\n"
      "<Library Name=\"IntegracaoTelemetria\"";
  CheckRoutes(server.Port(), {
      // A body goes to the handler, in any letter case of the path and under any sub-path.
      {"POST", "/Integracao_Telemetria", "abc", 200, "text/xml", "echo:abc"},
      {"POST", "/integracao_telemetria", "abc", 200, "text/xml", "echo:abc"},
      {"POST", "/Integracao_Telemetria/", "abc", 200, "text/xml", "echo:abc"},
      {"POST", "/Integracao_Telemetria/qualquer/coisa", "abc", 200, "text/xml", "echo:abc"},
      {"POST", "/Integracao_Telemetria?wsdl", "abc", 200, "text/xml", "echo:abc"},
      {"GET", "/Integracao_Telemetria", "abc", 200, "text/xml", "echo:abc"},
      {"POST", "/Integracao_Telemetria", "fault", 500, "text/xml", "<fault/>"},
      {"POST", "/Integracao_Telemetria", "raise", 500, "text/html", "falhou <aqui>"},
      // Without a body: the service description, whatever follows the path.
      {"GET", "/Integracao_Telemetria", "", 200, kXmlUtf8, kWsdlStart, true},
      {"GET", "/integracao_telemetria?wsdl", "", 200, kXmlUtf8, kWsdlStart, true},
      {"GET", "/Integracao_Telemetria/rodl", "", 200, kXmlUtf8, kWsdlStart, true},
      {"POST", "/Integracao%5FTelemetria", "", 200, kXmlUtf8, kWsdlStart, true},
      // Metadata sub-paths with a body.
      {"POST", "/Integracao_Telemetria/WSDL", "abc", 200, kXmlUtf8, kWsdlStart, true},
      {"POST", "/Integracao_Telemetria/RoDl", "abc", 200, kXmlUtf8, rodl},
      // Built-in documents.
      {"GET", "/rodl", "", 200, kXmlUtf8, rodl},
      {"GET", "/RODL?x", "", 200, kXmlUtf8, rodl},
      {"GET", "/", "", 200, "text/html", "<!DOCTYPE HTML PUBLIC", true},
      {"GET", "/favicon.ico", "", 200, "image/x-icon", icon},
      {"GET", "/doc", "", 200, "text/xml", doc_start, true},
      {"GET", "/DOC", "", 200, "text/xml", doc_start, true},
      {"GET", "/doc/css", "", 200, "text/css", css},
      {"GET", "/doc/xslt", "", 200, "text/xml", xslt},
      // Everything else is the invalid-path answer.
      {"GET", "/rodl/x", "", 500, "text/html", kInvalidPath},
      {"GET", "/doc/CSS", "", 500, "text/html", kInvalidPath},
      {"GET", "/doc/outro", "", 500, "text/html", kInvalidPath},
      {"GET", "/FAVICON.ICO", "", 500, "text/html", kInvalidPath},
      {"GET", "/outro", "", 500, "text/html", kInvalidPath},
      {"POST", "/Integracao", "abc", 500, "text/html", kInvalidPath},
  });
}

TEST(RoutingTest, SwitchedOffServicesGiveTheInvalidPathAnswer) {
  HttpServeOptions options;
  options.serve_rodl = false;
  options.serve_info_page = false;
  TestServer server({}, options);
  CheckRoutes(server.Port(), {
      {"GET", "/Integracao_Telemetria", "", 500, "text/html", kInvalidPath},
      {"GET", "/rodl", "", 500, "text/html", kInvalidPath},
      {"GET", "/", "", 500, "text/html", kInvalidPath},
      {"GET", "/favicon.ico", "", 500, "text/html", kInvalidPath},
      {"GET", "/doc", "", 500, "text/html", kInvalidPath},
      // The metadata sub-paths are then plain SOAP paths.
      {"POST", "/Integracao_Telemetria/rodl", "abc", 200, "text/xml", "echo:abc"},
      {"POST", "/Integracao_Telemetria/wsdl", "abc", 200, "text/xml", "echo:abc"},
  });
}

TEST(RoutingTest, WithoutExceptionsAs500OnlyRaisedErrorsGet500) {
  HttpServeOptions options;
  options.send_exceptions_as_500 = false;
  TestServer server({}, options);
  CheckRoutes(server.Port(), {
      {"GET", "/outro", "", 200, "text/html", kInvalidPath},
      {"POST", "/Integracao_Telemetria", "fault", 200, "text/xml", "<fault/>"},
      {"POST", "/Integracao_Telemetria", "raise", 500, "text/html", "falhou <aqui>"},
  });
}

}  // namespace
}  // namespace qit
