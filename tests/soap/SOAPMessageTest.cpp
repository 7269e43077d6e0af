#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pugixml.hpp>

#include "RecordingService.h"
#include "SoapTestSupport.h"
#include "common/Resources.h"
#include "contract/IntegracaoTelemetria_Intf.h"
#include "service/IntegracaoTelemetria_Invk.h"
#include "contract/ROExceptions.h"
#include "soap/ROGuid.h"
#include "soap/SoapRequest.h"
#include "soap/TROSOAPMessage.h"

namespace qit::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

constexpr const char* kSoapContentType = "text/xml; charset=\"utf-8\"";

// Every response and fault starts so: the declaration and the Envelope with its namespaces,
// the message namespace (v1) last.
const std::string kEnvelopeStart =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>"
    "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" "
    "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
    "xmlns:HNS=\"http://tempuri.org/\" xmlns:SOAP-ENC=\"http://schemas.xmlsoap.org/soap/encoding/\" "
    "xmlns:v1=\"http://tempuri.org/\">";

// A SOAP request whose Body holds the given XML, with the given Header content.
std::string Envelope(const std::string& body, const std::string& header = {}) {
  return "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\" "
         "xmlns:tns=\"http://tempuri.org/\"><soap:Header>" +
         header + "</soap:Header><soap:Body>" + body + "</soap:Body></soap:Envelope>";
}

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in upper-case hexadecimal.
bool IsBracedUpperCaseGuid(const std::string& text) {
  return text.size() == 38 && text.front() == '{' && text.back() == '}' &&
         text.substr(1, 36).find_first_not_of("0123456789ABCDEF-") == std::string::npos && text[9] == '-' &&
         text[14] == '-' && text[19] == '-' && text[24] == '-';
}

std::string ClientIdHeader(const std::string& id) {
  return "<ROClientIDHeader xmlns=\"urn:IntegracaoTelemetria\"><ID>" + id + "</ID></ROClientIDHeader>";
}

// The SOAP handler with the contract of the service behind it.
class SOAPMessageTest : public ::testing::Test {
 protected:
  SOAPMessageTest() {
    factories_.Add(RecordingFactory(received_));
    transport_.headers["Host"] = "10.1.1.5:10166";
  }

  bool Process(std::string_view body) {
    response_.clear();
    return handler_.Answer(transport_, body, response_);
  }

  // A response holding one parameter, written by a request of its own.
  std::string WriteResponse(std::string_view message_name, std::string_view name, const TROClassInfo& type,
                            const TROSerializable* value) {
    SoapRequest message(handler_);
    message.InitializeResponse(transport_, "IntegracaoTelemetria", "ServicoTelemetria", message_name);
    message.WriteParameter(name, type, value);
    std::string response;
    message.WriteEnvelope(response);
    return response;
  }

  struct Fault {
    std::string code, text;
    bool detail = false;
  };
  Fault ReadFault() const {
    pugi::xml_document document;
    EXPECT_TRUE(document.load_string(response_.c_str())) << response_;
    const pugi::xml_node fault = document.first_element_by_path("SOAP-ENV:Envelope/SOAP-ENV:Body/SOAP-ENV:Fault");
    return {fault.child_value("faultcode"), fault.child_value("faultstring"),
            static_cast<bool>(fault.child("detail").child("v1:ROException"))};
  }

  // The client identifier of the response header.
  std::string ResponseClientId() const {
    const std::size_t start = response_.find("<ID>");
    const std::size_t end = response_.find("</ID>");
    return start == std::string::npos || end == std::string::npos ? std::string()
                                                                  : response_.substr(start + 4, end - start - 4);
  }

  ReceivedLists received_;
  TROClassFactoryList factories_;
  TROSOAPMessage handler_{factories_, SerializableClasses()};
  FakeTransport transport_;
  std::string response_;
};

TEST_F(SOAPMessageTest, EmptyResultResponseIsExact) {
  const std::string id = "{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}";
  ASSERT_TRUE(Process(Envelope("<tns:ServicoTelemetria___Enviar><tns:ListaTelemetria/></tns:ServicoTelemetria___Enviar>",
                               ClientIdHeader("{0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9}"))));
  EXPECT_EQ(response_,
            kEnvelopeStart +
                "<SOAP-ENV:Header><ROClientIDHeader SOAP-ENV:mustUnderstand=\"0\" xmlns=\"urn:IntegracaoTelemetria\">"
                "<ID>" +
                id +
                "</ID></ROClientIDHeader></SOAP-ENV:Header>"
                "<SOAP-ENV:Body xmlns:ro=\"urn:IntegracaoTelemetria\"><v1:ServicoTelemetria___EnviarResponse>"
                "<v1:Result/></v1:ServicoTelemetria___EnviarResponse></SOAP-ENV:Body></SOAP-ENV:Envelope>");
  EXPECT_EQ(transport_.content_type, kSoapContentType);
}

// Identifiers come from blocks of system random bytes: across several blocks, and from
// several threads at once, none repeats, and each is marked as a random one.
TEST(NewGuidTest, IdentifiersAreDistinctAcrossBlocksAndThreads) {
  std::mutex mutex;
  std::set<std::string> seen;
  std::atomic<int> unmarked = 0;
  const auto make = [&] {
    for (int i = 0; i < 300; ++i) {
      const TGuid guid = NewGuid();
      if ((guid.data[6] & 0xF0) != 0x40 || (guid.data[8] & 0xC0) != 0x80) ++unmarked;
      std::lock_guard lock(mutex);
      seen.insert(GuidToString(guid));
    }
  };
  std::thread other(make);
  make();
  other.join();
  EXPECT_EQ(seen.size(), 600u);
  EXPECT_EQ(unmarked, 0);
}

TEST_F(SOAPMessageTest, ClientIdentifierIsReturnedOrMadeUp) {
  ASSERT_TRUE(Process(EnviarEnvelope("")));
  const std::string first = ResponseClientId();
  EXPECT_TRUE(IsBracedUpperCaseGuid(first)) << response_;
  ASSERT_TRUE(Process(EnviarEnvelope("")));
  EXPECT_NE(ResponseClientId(), first) << "every request without an identifier gets a new one";

  ASSERT_TRUE(Process(Envelope("<tns:ServicoTelemetria___Enviar/>",
                               ClientIdHeader("{00000000-0000-0000-0000-000000000000}"))));
  EXPECT_NE(ResponseClientId(), "{00000000-0000-0000-0000-000000000000}");
  EXPECT_TRUE(IsBracedUpperCaseGuid(ResponseClientId()));

  // The older header form carries the identifier as its own text.
  ASSERT_TRUE(Process(Envelope("<tns:ServicoTelemetria___Enviar/>",
                               "<tns:ROClientID>{11111111-2222-3333-4444-555555555555}</tns:ROClientID>")));
  EXPECT_EQ(ResponseClientId(), "{11111111-2222-3333-4444-555555555555}");

  // Every byte in its place, written back in upper case whatever case it came in.
  ASSERT_TRUE(Process(Envelope("<tns:ServicoTelemetria___Enviar/>", ClientIdHeader("{0a1B2c3D-4e5F-6071-8293-a4b5C6d7E8f9}"))));
  EXPECT_EQ(ResponseClientId(), "{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}");
}

TEST_F(SOAPMessageTest, EveryFailureIsAFaultWithItsClassAndText) {
  const std::string enviar_with = "<tns:ServicoTelemetria___Enviar><tns:ListaTelemetria{}>{}</tns:ListaTelemetria>"
                                  "</tns:ServicoTelemetria___Enviar>";
  const auto enviar = [&](const std::string& attributes, const std::string& items) {
    return Envelope(fmt::format(fmt::runtime(enviar_with), attributes, items));
  };
  struct Case {
    std::string body;
    std::string code, text;
    bool detail;
    std::string soap_action = {};
  };
  const std::vector<Case> cases = {
      {"<envelope><Body/></envelope>", "EROException", "Invalid SOAP Envelope. SOAP Envelope node missing or not root.",
       true},
      {"<soap:Envelope xmlns:soap=\"x\"><soap:Header/></soap:Envelope>", "EROException",
       "Invalid SOAP Envelope. SOAP envelope does not contain a Body.", true},
      {Envelope("\n   <!-- nothing -->\n  "), "EROException",
       "Invalid SOAP Envelope. SOAP Body does not contain a message nor a fault", true},
      {Envelope("<Enviar/>"), "EROException", "The message does not have an interface name", true},
      {Envelope("<x:ServicoTelemetria_ xmlns:x=\"urn:Lib-ServicoTelemetria\"/>"), "EROException",
       "The message does not have a name", true},
      {Envelope("<tns:OutroServico___Enviar/>"), "EROException", "Class factory for interface OutroServico not found",
       true},
      {Envelope("<tns:ServicoTelemetria___Apagar/>"), "EROException",
       "Unknown method Apagar for interface ServicoTelemetria", true},
      {Envelope("<tns:Qualquer/>"), "EROException", "Unknown method Apagar for interface ServicoTelemetria", true,
       "\"urn:IntegracaoTelemetria-ServicoTelemetria#Apagar\""},
      {enviar("", "<tns:TIntegraTelemetria><tns:DataOperacao>2024-13-01</tns:DataOperacao></tns:TIntegraTelemetria>"),
       "EConvertError", "Invalid argument to date encode", false},
      {enviar("", "<tns:TIntegraTelemetria><tns:DataOperacao/></tns:TIntegraTelemetria>"), "EConvertError",
       "'' is not a valid integer value", false},
      {enviar("", "<tns:TIntegraTelemetria><tns:DataOperacao xsi:nil=\"true\" "
                  "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"/></tns:TIntegraTelemetria>"),
       "EConvertError", "'' is not a valid integer value", false},
      {enviar(" xsi:type=\"tns:TOutra\"", ""), "EROException", "Unknown class \"TOutra\" found in stream.", true},
      // A fault quotes at most 1 024 bytes of what the request sent.
      {Envelope("<tns:ServicoTelemetria___" + std::string(1500, 'A') + "/>"), "EROException",
       "Unknown method " + std::string(1024, 'A') + "\u2026(+476 bytes) for interface ServicoTelemetria", true},
      {enviar(" xsi:type=\"tns:" + std::string(1100, 'T') + "\"", ""), "EROException",
       "Unknown class \"" + std::string(1024, 'T') + "\u2026(+76 bytes)\" found in stream.", true},
      {enviar(" xsi:type=\"tns:TListaResultTelemetria\"", ""), "EROException",
       "Unexpected class found in stream; class \"TListaResultTelemetria\" does not descend from "
       "\"TListaIntegraTelemetria\".",
       true},
      {Envelope("<tns:ServicoTelemetria___Enviar/>", ClientIdHeader("0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9")),
       "EConvertError", "'0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9' is not a valid GUID value", false},
      {Envelope("<soap:Fault><faultcode>EConvertError</faultcode><faultstring>remote failure</faultstring></soap:Fault>"),
       "EConvertError", "remote failure", false},
      {Envelope("<soap:Fault><faultcode>soap:Server</faultcode><faultstring>remote failure</faultstring></soap:Fault>"),
       "EROException", "remote failure", true},
  };
  for (const Case& c : cases) {
    transport_.headers["SOAPAction"] = c.soap_action;
    transport_.content_type = "text/html";
    EXPECT_FALSE(Process(c.body)) << c.body;
    const Fault fault = ReadFault();
    EXPECT_EQ(fault.code, c.code) << c.body;
    EXPECT_EQ(fault.text, c.text) << c.body;
    EXPECT_EQ(fault.detail, c.detail) << c.body;
    EXPECT_EQ(transport_.content_type, kSoapContentType);
  }
  EXPECT_TRUE(received_.Take().empty()) << "a failed request reached the operation";
}

TEST_F(SOAPMessageTest, FaultEnvelopeLayout) {
  ASSERT_FALSE(Process("this is not XML"));
  const std::string id = ResponseClientId();
  EXPECT_EQ(response_,
            kEnvelopeStart +
                "<SOAP-ENV:Header><ROClientIDHeader SOAP-ENV:mustUnderstand=\"0\" xmlns=\"urn:DefaultLibrary\"><ID>" +
                id +
                "</ID></ROClientIDHeader></SOAP-ENV:Header>"
                "<SOAP-ENV:Body xmlns:ro=\"urn:DefaultLibrary\"><SOAP-ENV:Fault><faultcode>EROException</faultcode>"
                "<faultstring>Cannot parse SOAP error: Cannot load XML document.\rReason: No document element "
                "found\rLine: 1\rPosition: 16</faultstring><detail><v1:ROException/></detail></SOAP-ENV:Fault>"
                "</SOAP-ENV:Body></SOAP-ENV:Envelope>");
}

TEST_F(SOAPMessageTest, ParseErrorsNameTheLineAndColumn) {
  ASSERT_FALSE(Process("<a>\n  <b>\n</a>"));
  const Fault fault = ReadFault();
  EXPECT_THAT(fault.text, StartsWith("Cannot parse SOAP error: Cannot load XML document.\nReason: "));
  EXPECT_THAT(fault.text, HasSubstr("\nLine: 3\nPosition: 3"));
}

TEST_F(SOAPMessageTest, EncryptedLookingBodyIsAnInvalidStream) {
  std::string body = "rorock\x01\x02\r\n";
  body += std::string(600, 'x');
  ASSERT_FALSE(Process(body));
  const Fault fault = ReadFault();
  EXPECT_EQ(fault.code, "EROInvalidStream");
  EXPECT_TRUE(fault.detail);
  const std::string expected_start =
      "Invalid binary header. It seems that encryption is active on the other side of the communication, but not "
      "locally?\n\nrorock..\n.";
  EXPECT_THAT(fault.text, StartsWith(expected_start));
  EXPECT_EQ(fault.text.size(), expected_start.size() - 10 + 500) << "the body is shown up to 500 bytes";
}

TEST_F(SOAPMessageTest, FaultTextIsAlwaysWellFormedUtf8) {
  ASSERT_FALSE(Process(Envelope("<soap:Fault><faultcode>EConvertError</faultcode>"
                                "<faultstring>Conversão inválida</faultstring></soap:Fault>")));
  EXPECT_EQ(ReadFault().text, "Conversão inválida");

  // A control character of the request, which XML cannot carry, is quoted as a blank.
  ASSERT_FALSE(Process(EnviarEnvelope("<tns:ListaTelemetria><tns:TIntegraTelemetria><tns:DataOperacao>&#1;1"
                                      "</tns:DataOperacao></tns:TIntegraTelemetria></tns:ListaTelemetria>")));
  EXPECT_EQ(ReadFault().text, "' 1' is not a valid integer value");

  // A byte that is not UTF-8 in a UTF-8 document is shown as the Latin-1 character.
  ASSERT_FALSE(Process(EnviarEnvelope("<tns:ListaTelemetria><tns:TIntegraTelemetria><tns:DataOperacao>\xE9"
                                      "</tns:DataOperacao></tns:TIntegraTelemetria></tns:ListaTelemetria>")));
  EXPECT_EQ(ReadFault().text, "'é' is not a valid integer value");

  // A Latin-1 document: its bytes are read as Latin-1 and answered as UTF-8.
  ASSERT_FALSE(Process("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>" +
                       EnviarEnvelope("<tns:ListaTelemetria><tns:TIntegraTelemetria><tns:DataOperacao>\xE9"
                                      "</tns:DataOperacao></tns:TIntegraTelemetria></tns:ListaTelemetria>")
                           .substr(std::string("<?xml version=\"1.0\" encoding=\"utf-8\"?>").size())));
  EXPECT_EQ(ReadFault().text, "'é' is not a valid integer value");
}

TEST_F(SOAPMessageTest, ShortBodiesAnswerProbeDefinitionAndDescription) {
  ASSERT_TRUE(Process("12345"));
  EXPECT_EQ(response_, "PROBEDOK");

  ASSERT_TRUE(Process("abcd"));
  EXPECT_EQ(response_, FindResource("RODLFILE"));
  EXPECT_EQ(transport_.content_type, kSoapContentType);

  transport_.content_type = "text/html";
  ASSERT_TRUE(Process(""));
  EXPECT_THAT(response_, HasSubstr("ServicoTelemetria___Enviar"));
  EXPECT_EQ(transport_.content_type, kSoapContentType);
  EXPECT_TRUE(received_.Take().empty());
}

TEST_F(SOAPMessageTest, ProcessMessageCompletesBeforeItReturns) {
  struct Case {
    std::string body;
    bool ok;
  };
  for (const Case& c : {Case{"12345", true}, Case{EnviarEnvelope(""), true}, Case{"not XML", false}}) {
    std::vector<std::optional<bool>> outcomes;
    response_.clear();
    handler_.ProcessMessage(transport_, c.body, response_,
                            MessageCompletion([&](std::optional<bool> ok) { outcomes.push_back(ok); }));
    EXPECT_THAT(outcomes, ElementsAre(c.ok)) << c.body;
    EXPECT_FALSE(response_.empty()) << c.body;
  }
}

// The lists the operation received from one request.
class SOAPReadingTest : public SOAPMessageTest {
 protected:
  std::vector<std::unique_ptr<TListaIntegraTelemetria>> Enviar(const std::string& body) {
    EXPECT_TRUE(Process(body)) << response_;
    return received_.Take();
  }
};

TEST_F(SOAPReadingTest, ReadsEveryFieldOfEveryItem) {
  const auto lists = Enviar(EnviarEnvelope("<tns:ListaTelemetria>" + ItemXml("ABC1234") + ItemXml("XYZ9876") +
                                           "</tns:ListaTelemetria>"));
  ASSERT_EQ(lists.size(), 1u);
  ASSERT_NE(lists[0], nullptr);
  const TListaIntegraTelemetria& lista = *lists[0];
  ASSERT_EQ(lista.Count(), 2);
  const TIntegraTelemetria& first = *lista.Items(0);
  EXPECT_EQ(first.ID_Veiculo, "ABC1234");
  EXPECT_EQ(first.DataOperacao, TDateTime::EncodeDate(2024, 3, 1));
  EXPECT_EQ(first.DataHoraInicio.ToString(), "01/03/2024 08:30:00");
  EXPECT_EQ(first.DataHoraTermino.ToString(), "01/03/2024 09:45:10");
  EXPECT_EQ(first.ID_Motorista, "M1");
  EXPECT_EQ(first.Inf_Adicional_Motorista, "Maria");
  EXPECT_EQ(first.ID_Agrupamento_1, "A1");
  EXPECT_EQ(first.Inf_Adicional_Agrupamento_1, "Rota 1");
  EXPECT_EQ(first.ID_Agrupamento_2, "A2");
  EXPECT_EQ(first.Inf_Adicional_Agrupamento_2, "Turno");
  EXPECT_EQ(lista.Items(1)->ID_Veiculo, "XYZ9876");
}

TEST_F(SOAPReadingTest, MatchesNamesLooselyAndKeepsTextAsSent) {
  // Pretty-printed, an item of another name, fields in another order and case, an unknown
  // field, a field given twice, a missing field, text with surrounding blanks and escapes.
  const auto lists = Enviar(EnviarEnvelope(
      "\n  <tns:listatelemetria>\n"
      "    <Item>\n"
      "      <id_veiculo>  V 1 </id_veiculo>\n"
      "      <Campo_Desconhecido>x</Campo_Desconhecido>\n"
      "      <tns:ID_MOTORISTA>primeiro</tns:ID_MOTORISTA>\n"
      "      <tns:ID_Motorista>segundo</tns:ID_Motorista>\n"
      "      <other:Inf_Adicional_Motorista xmlns:other=\"urn:x\">Jo&amp;ão &lt;1&gt;</other:Inf_Adicional_Motorista>\n"
      "    </Item>\n"
      "    <!-- a comment is not an item -->\n"
      "    <tns:TIntegraTelemetria><tns:ID_Veiculo><![CDATA[<cdata>]]></tns:ID_Veiculo></tns:TIntegraTelemetria>\n"
      "  </tns:listatelemetria>\n"));
  ASSERT_EQ(lists.size(), 1u);
  ASSERT_NE(lists[0], nullptr);
  const TListaIntegraTelemetria& lista = *lists[0];
  ASSERT_EQ(lista.Count(), 2);
  EXPECT_EQ(lista.Items(0)->ID_Veiculo, "  V 1 ");
  EXPECT_EQ(lista.Items(0)->ID_Motorista, "primeiro");
  EXPECT_EQ(lista.Items(0)->Inf_Adicional_Motorista, "Jo&ão <1>");
  EXPECT_EQ(lista.Items(0)->DataHoraInicio, TDateTime()) << "a missing date-time is the zero date-time";
  EXPECT_EQ(lista.Items(0)->ID_Agrupamento_1, "");
  EXPECT_EQ(lista.Items(1)->ID_Veiculo, "<cdata>");
}

TEST_F(SOAPReadingTest, DocumentTypeEntitiesAreNeverExpanded) {
  const std::string body = EnviarEnvelope("<tns:ListaTelemetria><tns:TIntegraTelemetria><tns:ID_Veiculo>&xxe;&lol;"
                                          "</tns:ID_Veiculo></tns:TIntegraTelemetria></tns:ListaTelemetria>");
  const std::size_t declaration_end = body.find("?>") + 2;
  const auto lists = Enviar(body.substr(0, declaration_end) +
                            "<!DOCTYPE e [<!ENTITY xxe SYSTEM \"file:///etc/passwd\"><!ENTITY lol \"lol\">]>" +
                            body.substr(declaration_end));
  ASSERT_EQ(lists.size(), 1u);
  ASSERT_NE(lists[0], nullptr);
  EXPECT_EQ(lists[0]->Items(0)->ID_Veiculo, "&xxe;&lol;");
}

TEST_F(SOAPReadingTest, EnvelopeOfAnyPrefixAndNamespaceWithLooseNaming) {
  struct Case {
    std::string what, body;
    std::string soap_action = {};
  };
  const std::string lista = "<ListaTelemetria>" + ItemXml("V") + "</ListaTelemetria>";
  const std::vector<Case> cases = {
      {"SOAP 1.2 namespace, other prefixes",
       "<env:Envelope xmlns:env=\"http://www.w3.org/2003/05/soap-envelope\"><env:Body>"
       "<m:ServicoTelemetria___Enviar xmlns:m=\"http://tempuri.org/\" xmlns:tns=\"http://tempuri.org/\">" +
           lista + "</m:ServicoTelemetria___Enviar></env:Body></env:Envelope>"},
      {"other letter case of interface and operation",
       Envelope("<tns:servicotelemetria___ENVIAR>" + lista + "</tns:servicotelemetria___ENVIAR>")},
      {"SOAPAction names the call, the element name does not matter",
       Envelope("<tns:Anything>" + lista + "</tns:Anything>"),
       "\"urn:IntegracaoTelemetria-ServicoTelemetria#Enviar\""},
      {"element Enviar in the urn: namespace of the service",
       Envelope("<Enviar xmlns=\"urn:IntegracaoTelemetria-ServicoTelemetria\" xmlns:tns=\"x\">" + lista +
                "</Enviar>")},
  };
  for (const Case& c : cases) {
    transport_.headers["SOAPAction"] = c.soap_action;
    const auto lists = Enviar(c.body);
    ASSERT_EQ(lists.size(), 1u) << c.what;
    ASSERT_NE(lists[0], nullptr) << c.what;
    ASSERT_EQ(lists[0]->Count(), 1) << c.what;
    EXPECT_EQ(lists[0]->Items(0)->ID_Veiculo, "V") << c.what;
  }
}

TEST_F(SOAPReadingTest, ReferencesAndMissingLists) {
  // A list written elsewhere in the Body and referenced by id.
  auto lists = Enviar(Envelope(
      "<tns:ServicoTelemetria___Enviar><tns:ListaTelemetria href=\"#l1\"/></tns:ServicoTelemetria___Enviar>"
      "<tns:Lista id=\"l1\">" + ItemXml("REF") + "</tns:Lista>"));
  ASSERT_EQ(lists.size(), 1u);
  ASSERT_NE(lists[0], nullptr);
  ASSERT_EQ(lists[0]->Count(), 1);
  EXPECT_EQ(lists[0]->Items(0)->ID_Veiculo, "REF");

  // An element without items is an empty list.
  lists = Enviar(EnviarEnvelope("<tns:ListaTelemetria>\n</tns:ListaTelemetria>"));
  ASSERT_EQ(lists.size(), 1u);
  ASSERT_NE(lists[0], nullptr);
  EXPECT_EQ(lists[0]->Count(), 0);

  // A missing or nil list reaches the operation as no list, and the client still gets its
  // empty result.
  for (const std::string& lista :
       {std::string(), std::string("<tns:ListaTelemetria xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
                                   "xsi:nil=\"true\"/>")}) {
    lists = Enviar(EnviarEnvelope(lista));
    ASSERT_EQ(lists.size(), 1u) << lista;
    EXPECT_EQ(lists[0], nullptr) << lista;
    EXPECT_THAT(response_, HasSubstr("<v1:Result/>"));
  }
}

TEST_F(SOAPMessageTest, WritesResultRecordsInDeclaredOrder) {
  TListaResultTelemetria result;
  TResultTelemetria* first = result.Add();
  first->ID_Veiculo = "V1";
  first->Codigo_Erro = -3;
  first->Descricao = "x < y";
  result.Add();
  result.SetItems(1, nullptr);  // a position without an element writes nothing
  result.Add()->ID_Veiculo = "V2";

  EXPECT_THAT(WriteResponse("___EnviarResponse", "Result", TListaResultTelemetria::kClassInfo, &result),
              HasSubstr("<v1:ServicoTelemetria___EnviarResponse><v1:Result><v1:TResultTelemetria>"
                        "<v1:ID_Veiculo>V1</v1:ID_Veiculo><v1:Codigo_Erro>-3</v1:Codigo_Erro>"
                        "<v1:Descricao>x &lt; y</v1:Descricao></v1:TResultTelemetria><v1:TResultTelemetria>"
                        "<v1:ID_Veiculo>V2</v1:ID_Veiculo><v1:Codigo_Erro>0</v1:Codigo_Erro><v1:Descricao/>"
                        "</v1:TResultTelemetria></v1:Result></v1:ServicoTelemetria___EnviarResponse>"));
  EXPECT_EQ(transport_.content_type, kSoapContentType);

  // A missing list is written as an empty element, as an empty one is.
  const TListaResultTelemetria empty;
  for (const TListaResultTelemetria* value : {&empty, static_cast<const TListaResultTelemetria*>(nullptr)})
    EXPECT_THAT(WriteResponse("EnviarResponse", "Result", TListaResultTelemetria::kClassInfo, value),
                HasSubstr("<v1:ServicoTelemetria___EnviarResponse><v1:Result/></v1:ServicoTelemetria___"
                          "EnviarResponse>"));
}

TEST_F(SOAPMessageTest, WritesDateTimesOfRecordsWithoutFraction) {
  TListaIntegraTelemetria lista;
  lista.Add()->DataHoraInicio = TDateTime::Encode({2024, 3, 1, 8, 30, 0, 750});
  EXPECT_THAT(WriteResponse("EnviarResponse", "ListaTelemetria", TListaIntegraTelemetria::kClassInfo, &lista),
              HasSubstr("<v1:TIntegraTelemetria><v1:ID_Veiculo/><v1:DataOperacao>1899-12-30T00:00:00"
                        "</v1:DataOperacao><v1:DataHoraInicio>2024-03-01T08:30:00</v1:DataHoraInicio>"));
}

TEST_F(SOAPMessageTest, TypesAreCheckedAgainstTheRegistryTheHandlerIsGiven) {
  const std::string body =
      EnviarEnvelope("<tns:ListaTelemetria xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
                     "xsi:type=\"tns:TListaIntegraTelemetria\">" + ItemXml("V") + "</tns:ListaTelemetria>");
  ASSERT_TRUE(Process(body)) << response_;
  EXPECT_EQ(received_.Take().size(), 1u);

  const TROClassRegistry other_classes;
  TROSOAPMessage other(factories_, other_classes);
  EXPECT_FALSE(other.Answer(transport_, body, response_));
  EXPECT_EQ(ReadFault().text, "Unknown class \"TListaIntegraTelemetria\" found in stream.");
  EXPECT_TRUE(received_.Take().empty());
}

TEST_F(SOAPMessageTest, ConcurrentRequestsKeepTheirOwnState) {
  // One handler answers every listener thread: each request's names, client identifier and
  // documents are its own, for answers and faults alike.
  constexpr int kThreads = 4;
  constexpr int kRequests = 30;
  std::atomic<int> wrong_answers = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRequests; ++i) {
        const std::string id = fmt::format("{{{:08X}-0000-0000-0000-{:012X}}}", t + 1, i);
        const std::string vehicle = fmt::format("T{}R{}", t, i);
        const bool fails = i % 3 == 2;
        const std::string operation = fails ? "ServicoTelemetria___Apagar" : "ServicoTelemetria___Enviar";
        FakeTransport transport;
        std::string response;
        const bool ok = handler_.Answer(transport,
                                        Envelope("<tns:" + operation + "><tns:ListaTelemetria>" + ItemXml(vehicle) +
                                                     "</tns:ListaTelemetria></tns:" + operation + ">",
                                                 ClientIdHeader(id)),
                                        response);
        const std::string expected = fails ? "<faultstring>Unknown method Apagar for interface ServicoTelemetria<"
                                           : "<v1:ServicoTelemetria___EnviarResponse><v1:Result/>";
        if (ok == fails || response.find("<ID>" + id + "</ID>") == std::string::npos ||
            response.find(expected) == std::string::npos)
          ++wrong_answers;
      }
    });
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong_answers, 0);

  // Every request that reached the operation brought its own list.
  const std::size_t succeeded = kThreads * (kRequests - kRequests / 3);
  const auto lists = received_.Take();
  ASSERT_EQ(lists.size(), succeeded);
  std::set<std::string> vehicles;
  for (const auto& lista : lists) {
    ASSERT_NE(lista, nullptr);
    ASSERT_EQ(lista->Count(), 1);
    vehicles.insert(lista->Items(0)->ID_Veiculo);
  }
  EXPECT_EQ(vehicles.size(), succeeded);
}

TEST(SOAPMessageOptions, ServiceSetAndRpcForms) {
  EXPECT_EQ(kSOAPMessageOptions.Mask(), 0x018C);

  TROClassFactoryList none;
  TROSOAPMessage rpc(none, SerializableClasses(), {xsoSendUntyped, xsoStrictStructureFieldOrder});
  FakeTransport transport;
  std::string response;
  EXPECT_FALSE(rpc.Answer(transport, "<not-closed>", response));
  EXPECT_THAT(response, HasSubstr("<SOAP-ENV:Header><HNS:ROClientID SOAP-ENV:mustUnderstand=\"0\">{"));
  EXPECT_THAT(response, HasSubstr("<SOAP-ENV:Body SOAP-ENV:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\" "
                                  "xmlns:ro=\"urn:DefaultLibrary\">"));

  WsdlSettings settings;
  settings.server_target_namespace = "urn:outro";
  TROSOAPMessage other_namespace(none, SerializableClasses(), kSOAPMessageOptions, settings);
  EXPECT_FALSE(other_namespace.Answer(transport, Envelope("<tns:X___Y/>"), response));
  EXPECT_THAT(response, HasSubstr("xmlns:HNS=\"urn:outro\" "));
  EXPECT_THAT(response, HasSubstr("<SOAP-ENV:Body xmlns:ro=\"http://tempuri.org/\">"))
      << "the library found in the request names the fault's namespace";
}

}  // namespace
}  // namespace qit::testing
