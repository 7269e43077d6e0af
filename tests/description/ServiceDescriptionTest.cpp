#include <gtest/gtest.h>

#include <fmt/format.h>

#include "HttpTestClient.h"
#include "description/ServiceDescriptionPages.h"
#include "transport/THTTPTransport.h"

namespace qit {
namespace {

using test::Exchange;
using test::ParseResponse;
using test::RawResponse;
using test::TestServer;

// The description of the service, line by line, for a given service address.
std::vector<std::string> ExpectedWsdl(const std::string& address) {
  std::vector<std::string> lines = {
      R"(<?xml version="1.0" encoding="UTF-8" ?>)",
      R"(<wsdl:definitions )",
      R"(   xmlns:wsdl="http://schemas.xmlsoap.org/wsdl/" )",
      R"(   xmlns:xs="http://www.w3.org/2001/XMLSchema" )",
      R"(   name="IntegracaoTelemetria" )",
      R"(   xmlns:soap="http://schemas.xmlsoap.org/wsdl/soap/" )",
      R"(   xmlns:soapenc="http://schemas.xmlsoap.org/soap/encoding/" )",
      R"(   xmlns:mime="http://schemas.xmlsoap.org/wsdl/mime/")",
      R"(   targetNamespace="http://tempuri.org/" )",
      R"(   xmlns:tns="http://tempuri.org/" )",
      R"(>)",
      R"(   <wsdl:types>)",
      R"(      <xs:schema targetNamespace="http://tempuri.org/" elementFormDefault="qualified">)",
      R"(         <xs:complexType name="TIntegraTelemetria">)",
      R"(            <xs:sequence>)",
  };
  const std::pair<const char*, const char*> integra[] = {
      {"ID_Veiculo", "xs:string"},           {"DataOperacao", "xs:dateTime"},
      {"DataHoraInicio", "xs:dateTime"},      {"DataHoraTermino", "xs:dateTime"},
      {"ID_Motorista", "xs:string"},          {"Inf_Adicional_Motorista", "xs:string"},
      {"ID_Agrupamento_1", "xs:string"},      {"Inf_Adicional_Agrupamento_1", "xs:string"},
      {"ID_Agrupamento_2", "xs:string"},      {"Inf_Adicional_Agrupamento_2", "xs:string"},
  };
  for (const auto& [name, type] : integra) {
    lines.push_back(fmt::format(R"(               <xs:element name="{}" type="{}">)", name, type));
    lines.push_back("               </xs:element>");
  }
  lines.insert(lines.end(), {
      R"(            </xs:sequence>)",
      R"(         </xs:complexType>)",
      R"(         <xs:complexType name="TResultTelemetria">)",
      R"(            <xs:sequence>)",
      R"(               <xs:element name="ID_Veiculo" type="xs:string">)",
      R"(               </xs:element>)",
      R"(               <xs:element name="Codigo_Erro" type="xs:int">)",
      R"(               </xs:element>)",
      R"(               <xs:element name="Descricao" type="xs:string">)",
      R"(               </xs:element>)",
      R"(            </xs:sequence>)",
      R"(         </xs:complexType>)",
      R"(         <xs:complexType name="TListaIntegraTelemetria">)",
      R"(            <xs:sequence>)",
      R"(               <xs:element name="TIntegraTelemetria" minOccurs="0" maxOccurs="unbounded" type="tns:TIntegraTelemetria" />)",
      R"(            </xs:sequence>)",
      R"(         </xs:complexType>)",
      R"(         <xs:complexType name="TListaResultTelemetria">)",
      R"(            <xs:sequence>)",
      R"(               <xs:element name="TResultTelemetria" minOccurs="0" maxOccurs="unbounded" type="tns:TResultTelemetria" />)",
      R"(            </xs:sequence>)",
      R"(         </xs:complexType>)",
      R"(   <xs:element name="ServicoTelemetria___Enviar">)",
      R"(      <xs:complexType>)",
      R"(         <xs:sequence>)",
      R"(            <xs:element name="ListaTelemetria" minOccurs="1" maxOccurs="1" type="tns:TListaIntegraTelemetria" />)",
      R"(         </xs:sequence>)",
      R"(      </xs:complexType>)",
      R"(   </xs:element>)",
      R"(   <xs:element name="ServicoTelemetria___EnviarResponse">)",
      R"(      <xs:complexType>)",
      R"(         <xs:sequence>)",
      R"(            <xs:element name="Result" minOccurs="1" maxOccurs="1" type="tns:TListaResultTelemetria" />)",
      R"(         </xs:sequence>)",
      R"(      </xs:complexType>)",
      R"(   </xs:element>)",
      R"(      </xs:schema>)",
      R"(   </wsdl:types>)",
      R"(   <wsdl:message name="ServicoTelemetria___EnviarRequest">)",
      R"(      <wsdl:part name="parameters" element="tns:ServicoTelemetria___Enviar" />)",
      R"(   </wsdl:message>)",
      R"(   <wsdl:message name="ServicoTelemetria___EnviarResponse">)",
      R"(      <wsdl:part name="parameters" element="tns:ServicoTelemetria___EnviarResponse" />)",
      R"(   </wsdl:message>)",
      R"(   <wsdl:portType name="ServicoTelemetria">)",
      R"(      <wsdl:operation name="Enviar">)",
      R"(         <wsdl:input message="tns:ServicoTelemetria___EnviarRequest" />)",
      R"(         <wsdl:output message="tns:ServicoTelemetria___EnviarResponse" />)",
      R"(      </wsdl:operation>)",
      R"(   </wsdl:portType>)",
      R"(   <wsdl:binding name="ServicoTelemetriaBinding" type="tns:ServicoTelemetria">)",
      R"(      <soap:binding transport="http://schemas.xmlsoap.org/soap/http" />)",
      R"(         <wsdl:operation name="Enviar">)",
      R"(            <soap:operation soapAction="urn:IntegracaoTelemetria-ServicoTelemetria#Enviar" style="document" />)",
      R"(            <wsdl:input>)",
      R"(               <soap:body use="literal" />)",
      R"(            </wsdl:input>)",
      R"(            <wsdl:output>)",
      R"(               <soap:body use="literal" />)",
      R"(            </wsdl:output>)",
      R"(         </wsdl:operation>)",
      R"(   </wsdl:binding>)",
      R"(   <wsdl:service name="ServicoTelemetria">)",
      R"(      <wsdl:port name="ServicoTelemetriaPort" binding="tns:ServicoTelemetriaBinding">)",
  });
  lines.push_back(fmt::format(R"(         <soap:address location="{}?service=ServicoTelemetria" />)", address));
  lines.insert(lines.end(), {
      R"(      </wsdl:port>)",
      R"(   </wsdl:service>)",
      R"(</wsdl:definitions>)",
  });
  return lines;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
    lines.push_back(text.substr(start, end - start));
  if (start != text.size()) lines.push_back(text.substr(start) + "<no CR LF at the end>");
  return lines;
}

TEST(ServiceDescriptionTest, TheWsdlHas103LinesWithTheAddressOfTheRequest) {
  TestServer server;
  struct Case {
    std::string request;
    std::string address;
  };
  const Case cases[] = {
      {"GET /Integracao_Telemetria HTTP/1.1\r\nHost: 10.1.1.5:10166\r\n\r\n",
       "http://10.1.1.5:10166/Integracao_Telemetria"},
      {"GET /integracao_telemetria?wsdl HTTP/1.1\r\nHost: servidor\r\n\r\n", "http://servidor/integracao_telemetria"},
      {"GET /Integracao_Telemetria/outro HTTP/1.1\r\nHost: h:1\r\n\r\n", "http://h:1/Integracao_Telemetria/outro"},
      {"POST /Integracao_Telemetria/WSDL HTTP/1.1\r\nHost: h:1\r\nContent-Length: 3\r\n\r\nabc",
       "http://h:1/Integracao_Telemetria"},
      {"GET /Integracao_Telemetria?service=servicotelemetria HTTP/1.1\r\nHost: h\r\n\r\n",
       "http://h/Integracao_Telemetria"},
      {"GET /Integracao_Telemetria?service= HTTP/1.1\r\nHost: h\r\n\r\n", "http://h/Integracao_Telemetria"},
      {"GET http://proxied:8080/Integracao_Telemetria HTTP/1.1\r\n\r\n", "http://proxied:8080/Integracao_Telemetria"},
      {"GET /Integracao_Telemetria/%22%3E HTTP/1.1\r\nHost: h\r\n\r\n", "http://h/Integracao_Telemetria/&quot;&gt;"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request);
    const RawResponse response = ParseResponse(Exchange(server.Port(), c.request));
    EXPECT_EQ(response.status_line, "HTTP/1.1 200 OK");
    EXPECT_EQ(response.Header("Content-Type"), "text/xml; charset=\"utf-8\"");
    const std::vector<std::string> lines = SplitLines(response.body);
    const std::vector<std::string> expected = ExpectedWsdl(c.address);
    ASSERT_EQ(expected.size(), 103u);
    ASSERT_EQ(lines.size(), expected.size());
    for (std::size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(lines[i], expected[i]) << "line " << i + 1;
  }
}

TEST(ServiceDescriptionTest, UnknownServiceOrSchemaNamesGiveTheErrorPage) {
  TestServer server;
  const std::pair<const char*, const char*> cases[] = {
      {"/Integracao_Telemetria?service=Outro", "Invalid TargetEntity \"Outro\""},
      {"/Integracao_Telemetria?xsd=qualquer", "No xsd by that name"},
      {"/Integracao_Telemetria?service=%3Cb%3E", "Invalid TargetEntity \"&lt;b&gt;\""},
  };
  for (const auto& [target, message] : cases) {
    SCOPED_TRACE(target);
    const RawResponse response =
        ParseResponse(Exchange(server.Port(), fmt::format("GET {} HTTP/1.1\r\nHost: h\r\n\r\n", target)));
    EXPECT_EQ(response.status_line, "HTTP/1.1 200 OK");
    EXPECT_EQ(response.Header("Content-Type"), "text/html");
    EXPECT_EQ(response.body,
              fmt::format("<html><head><title>Error</title></head><body><font size=7>Error</font><br />An error "
                          "occured generating WSDL: {}</body></html>",
                          message));
  }
}

// A definition with three services, one with a blank in its name and one with a data type
// the description cannot map, and a namespace of its own.
constexpr const char* kTwoServices = R"(<?xml version="1.0" encoding="utf-8"?>
<Library Name="Lib" TargetNamespace="minha-empresa">
<Services>
<Service Name="Um"><Interfaces><Interface Name="Default"><Operations>
<Operation Name="Somar"><Parameters>
<Parameter Name="Result" DataType="Integer" Flag="Result"/>
<Parameter Name="A" DataType="Integer" Flag="In"/>
<Parameter Name="B" DataType="integer" Flag="InOut"/>
<Parameter Name="C" DataType="String" Flag="Out"/>
</Parameters></Operation>
</Operations></Interface></Interfaces></Service>
<Service Name="Dois Tres"><Interfaces><Interface Name="Default"><Operations>
<Operation Name="Nada"><Parameters><Parameter Name="X" DataType="String" Flag="In"/></Parameters></Operation>
</Operations></Interface></Interfaces></Service>
<Service Name="Ruim"><Interfaces><Interface Name="Default"><Operations>
<Operation Name="Pagar"><Parameters><Parameter Name="X" DataType="Moeda" Flag="In"/></Parameters></Operation>
</Operations></Interface></Interfaces></Service>
</Services>
</Library>)";

struct Description {
  std::string content_type;
  std::string text;
};

Description Describe(const std::string& target, const WsdlSettings& settings) {
  HttpRequest request;
  request.method = "GET";
  request.target = target;
  request.headers = {{"Host", "h"}};
  HttpResponse response;
  THTTPTransport transport(request, response);
  Description description;
  description.content_type =
      WriteServiceDescriptionOf(ReadRODLLibrary(kTwoServices), transport, description.text, settings);
  return description;
}

TEST(ServiceDescriptionTest, SeveralServicesAreListedWhenNoneIsNamed) {
  WsdlSettings settings;
  settings.custom_location = " http://x/y";
  const Description list = Describe("/p", settings);
  EXPECT_EQ(list.content_type, "text/html");
  EXPECT_EQ(list.text,
            "<html>\r\n<head>\r\n<title>Lib</title>\r\n</head>\r\n<body>\r\n<p><font size=\"7\">Lib</font></p>\r\n"
            "<p>The following services are supported:</p><ul>"
            "<li><a href=\" http://x/y?service=Um\">Um</a></li>\r\n"
            "<li><a href=\" http://x/y?service=Dois Tres\">Dois Tres</a></li>\r\n"
            "<li><a href=\" http://x/y?service=Ruim\">Ruim</a></li>\r\n"
            "</ul></body></html>");
}

TEST(ServiceDescriptionTest, ANamedServiceIsDescribedAlone) {
  const Description one = Describe("/p?service=UM", {});
  EXPECT_EQ(one.content_type, "text/xml; charset=\"utf-8\"");
  const std::vector<std::string> lines = SplitLines(one.text);
  const auto has = [&](const std::string& line) { return std::find(lines.begin(), lines.end(), line) != lines.end(); };
  // The library's namespace, made a URI.
  EXPECT_TRUE(has(R"(   targetNamespace="urn:minha-empresa" )"));
  // Inputs are In and InOut; outputs the result, then Out and InOut, in declared order.
  const auto request = std::find(lines.begin(), lines.end(), R"(   <xs:element name="Um___Somar">)");
  ASSERT_NE(request, lines.end());
  EXPECT_EQ(request[3], R"(            <xs:element name="A" minOccurs="1" maxOccurs="1" type="xs:int" />)");
  EXPECT_EQ(request[4], R"(            <xs:element name="B" minOccurs="1" maxOccurs="1" type="xs:int" />)");
  EXPECT_EQ(request[8], R"(   <xs:element name="Um___SomarResponse">)");
  EXPECT_EQ(request[11], R"(            <xs:element name="Result" minOccurs="1" maxOccurs="1" type="xs:int" />)");
  EXPECT_EQ(request[12], R"(            <xs:element name="B" minOccurs="1" maxOccurs="1" type="xs:int" />)");
  EXPECT_EQ(request[13], R"(            <xs:element name="C" minOccurs="1" maxOccurs="1" type="xs:string" />)");
  EXPECT_TRUE(has(R"(         <soap:address location="http://h/p?service=Um" />)"));
  EXPECT_FALSE(has(R"(   <wsdl:service name="Dois Tres">)"));
}

TEST(ServiceDescriptionTest, ServiceNamesWithBlanksAndUnknownTypes) {
  WsdlSettings settings;
  settings.split_service_wsdls = false;
  settings.server_target_namespace = "http://servidor/ns";
  // All services are written, so the unknown type of one fails the whole document.
  const Description all = Describe("/p", settings);
  EXPECT_EQ(all.content_type, "text/html");
  EXPECT_NE(all.text.find("An error occured generating WSDL: Unsupported data type Moeda</body>"), std::string::npos);
  // A named service is written alone; its address puts "+" for the blanks of its name.
  settings.custom_location = "http://fixo/servico";
  const Description named = Describe("/p?service=dois+tres", settings);
  EXPECT_EQ(named.content_type, "text/xml; charset=\"utf-8\"");
  EXPECT_NE(named.text.find(R"(targetNamespace="http://servidor/ns" )"), std::string::npos);
  EXPECT_NE(named.text.find(R"(<soap:address location="http://fixo/servico?service=Dois+Tres" />)"),
            std::string::npos);
  EXPECT_EQ(named.text.find("Moeda"), std::string::npos);
}

}  // namespace
}  // namespace qit
