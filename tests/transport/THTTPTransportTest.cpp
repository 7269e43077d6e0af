#include <gtest/gtest.h>

#include "transport/THTTPTransport.h"

namespace qit {
namespace {

HttpRequest RequestFor(std::string target, std::vector<HttpHeader> headers = {}) {
  HttpRequest request;
  request.method = "GET";
  request.target = std::move(target);
  request.headers = std::move(headers);
  request.peer_address = "127.0.0.1";
  return request;
}

struct TargetCase {
  std::string target;
  std::string path;
  std::string query;
};

TEST(THTTPTransportTest, PathIsDecodedAndQueryIsTheTextAfterTheMark) {
  const TargetCase cases[] = {
      {"/Integracao_Telemetria?wsdl", "/Integracao_Telemetria", "wsdl"},
      {"/a%20b/%C3%A7%2F?x=%20", "/a b/\xC3\xA7/", "x=%20"},
      {"/bad%zz%4/%", "/bad%zz%4/%", ""},
      {"/plus+stays", "/plus+stays", ""},
      {"/q?a=1?b=2", "/q", "a=1?b=2"},
      {"http://10.1.1.5:10166/Integracao_Telemetria?wsdl", "/Integracao_Telemetria", "wsdl"},
      {"http://host", "", ""},
      {"", "", ""},
  };
  for (const TargetCase& c : cases) {
    SCOPED_TRACE(c.target);
    const HttpRequest request = RequestFor(c.target);
    HttpResponse response;
    THTTPTransport transport(request, response);
    EXPECT_EQ(transport.RequestPath(), c.path);
    EXPECT_EQ(transport.RequestQuery(), c.query);
  }
}

TEST(THTTPTransportTest, LocationComesFromHostFieldElseFromAnAbsoluteTarget) {
  struct Case {
    std::string target;
    std::vector<HttpHeader> headers;
    std::string location;
  };
  const Case cases[] = {
      {"/x", {{"Host", "10.1.1.5:10166"}}, "http://10.1.1.5:10166"},
      {"/x", {{"host", "servidor"}}, "http://servidor"},
      {"http://proxied:8080/x?y", {}, "http://proxied:8080"},
      {"http://proxied:8080/x", {{"Host", "given"}}, "http://given"},
      {"/x", {}, "http://"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target);
    const HttpRequest request = RequestFor(c.target, c.headers);
    HttpResponse response;
    THTTPTransport transport(request, response);
    EXPECT_EQ(transport.RequestLocation(), c.location);
  }
}

TEST(THTTPTransportTest, QueryParametersAreFoundByNameInAnyCaseAndDecoded) {
  const HttpRequest request = RequestFor("/p?wsdl&Service=Servico+Telemetria&xsd=&a%62c=%41%2B&service=second");
  HttpResponse response;
  THTTPTransport transport(request, response);
  EXPECT_EQ(transport.QueryParameter("service"), "Servico Telemetria");
  EXPECT_EQ(transport.QueryParameter("abc"), "A+");
  EXPECT_EQ(transport.QueryParameter("xsd"), "");
  EXPECT_EQ(transport.QueryParameter("wsdl"), "");
  EXPECT_EQ(transport.QueryParameter("missing"), "");
}

TEST(THTTPTransportTest, RequestSideIsReadOnlyAndResponseSideIsRecorded) {
  const HttpRequest request = RequestFor("/Integracao_Telemetria/wsdl", {{"SOAPAction", "urn:x"}});
  HttpResponse response;
  THTTPTransport transport(request, response);
  EXPECT_EQ(transport.TransportInstance(), &transport);
  EXPECT_EQ(transport.PeerAddress(), "127.0.0.1");
  EXPECT_EQ(transport.RequestHeader("soapaction"), "urn:x");
  EXPECT_EQ(transport.RequestHeader("Content-Type"), "");

  transport.SetPathOverride("/Integracao_Telemetria");
  EXPECT_EQ(transport.RequestPath(), "/Integracao_Telemetria");

  EXPECT_EQ(transport.ServerSoftware(), "QueltoIntegradorTelemetria/3.3.0.0");
  transport.SetServerSoftware("outro");
  EXPECT_EQ(transport.ServerSoftware(), "outro");
  transport.SetTargetAddress("http://elsewhere");
  EXPECT_EQ(transport.TargetAddress(), "");
  transport.SetResponseContentType("text/xml");
  EXPECT_EQ(transport.ResponseContentType(), "text/xml");
  EXPECT_EQ(response.content_type, "text/xml");
}

}  // namespace
}  // namespace qit
