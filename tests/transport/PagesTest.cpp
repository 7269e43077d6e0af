#include <gtest/gtest.h>

#include <pugixml.hpp>

#include "HttpTestClient.h"
#include "common/Resources.h"
#include "transport/InfoPage.h"
#include "description/TRODLToXML.h"

namespace qit {
namespace {

using test::Exchange;
using test::ParseResponse;

TEST(PagesTest, InformationPageFillsEveryPlaceholder) {
  test::TestServer server;
  const std::string page = ParseResponse(Exchange(server.Port(), "GET / HTTP/1.1\r\n\r\n")).body;
  EXPECT_EQ(page.find('%'), std::string::npos) << page;
  for (const char* part : {
           "<title>IntegracaoTelemetria - v3.3.0.0</title>",
           "<img src=\"/favicon.ico\"",
           "<a href=\"/doc\">View full documentation</a> | <a href=\"/rodl\">",
           "Available Dispatchers:",
           "<ul><li><a href=\"/Integracao_Telemetria\">Integracao_Telemetria</a> <i>(TROSOAPMessage)</i></li></ul>",
       })
    EXPECT_NE(page.find(part), std::string::npos) << part;
}

TEST(PagesTest, DispatcherListTakesEveryEntryWithAPathUnderTheBasePath) {
  TROHTTPMessageDispatchers dispatchers;
  dispatchers.Add({"A", std::make_shared<test::FakeMessageHandler>(), true, "/Primeiro"});
  dispatchers.Add({"B", std::make_shared<test::FakeMessageHandler>(), true, ""});
  dispatchers.Add({"C", std::make_shared<test::FakeMessageHandler>(), true, "Segundo"});
  TRODLLibrary library;
  library.Name = "Lib";
  for (const auto& [base, expected_base] :
       {std::pair{"", "/"}, std::pair{"/", "/"}, std::pair{"/raiz", "/raiz/"}}) {
    const std::string page = InformationPage(base, library, dispatchers);
    EXPECT_NE(page.find("<ul><li><a href=\"" + std::string(expected_base) +
                        "Primeiro\">Primeiro</a> <i>(TROSOAPMessage)</i></li><li><a href=\"" + expected_base +
                        "Segundo\">Segundo</a> <i>(TROSOAPMessage)</i></li></ul>"),
              std::string::npos)
        << base;
  }
}

TEST(PagesTest, DocumentationPageCarriesTheWholeDefinition) {
  const TRODLLibrary stored = ReadStoredRODLLibrary();
  const std::string doc = TRODLToXML(stored, "/doc/xslt");
  EXPECT_EQ(doc.substr(0, doc.find("<Library")),
            "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<?xml-stylesheet type=\"text/xsl\" href=\"/doc/xslt\"?>\r\n");
  EXPECT_EQ(doc.find('\n'), doc.find("\r\n") + 1);
  EXPECT_EQ(doc.substr(doc.size() - 12), "</Library>\r\n");
  // Read back, it is the same definition.
  const TRODLLibrary again = ReadRODLLibrary(doc);
  EXPECT_EQ(again.Name, stored.Name);
  EXPECT_EQ(again.UID, stored.UID);
  ASSERT_EQ(again.Services.size(), 1u);
  ASSERT_EQ(again.Services[0].Interfaces.size(), 1u);
  const TRODLOperation& enviar = again.Services[0].Interfaces[0].Operations.at(0);
  EXPECT_EQ(enviar.Name, "Enviar");
  ASSERT_EQ(enviar.Parameters.size(), 2u);
  EXPECT_EQ(enviar.Parameters[1].Name, "ListaTelemetria");
  EXPECT_EQ(enviar.Parameters[1].Flag, "In");
  ASSERT_EQ(again.Structs.size(), 2u);
  ASSERT_EQ(again.Structs[0].Elements.size(), 10u);
  EXPECT_EQ(again.Structs[0].Elements[9].Name, "Inf_Adicional_Agrupamento_2");
  EXPECT_EQ(again.Structs[1].Elements[1].DataType, "Integer");
  ASSERT_EQ(again.Arrays.size(), 2u);
  EXPECT_EQ(again.Arrays[1].ElementType, "TResultTelemetria");
  EXPECT_EQ(again.Arrays[1].UID, stored.Arrays[1].UID);
}

TEST(PagesTest, BuiltInDocumentsAreWhatTheirContentTypesSay) {
  pugi::xml_document xslt;
  const std::string_view transform = FindResource("DOCXSLT");
  ASSERT_TRUE(xslt.load_buffer(transform.data(), transform.size()));
  const pugi::xml_node sheet = xslt.document_element();
  EXPECT_STREQ(sheet.name(), "xsl:stylesheet");
  EXPECT_STREQ(sheet.attribute("version").value(), "1.0");
  EXPECT_TRUE(sheet.find_child_by_attribute("xsl:template", "match", "/Library"));
  EXPECT_NE(transform.find("<xsl:value-of select=\"@Name\"/> documentation</title>"), std::string_view::npos);

  EXPECT_FALSE(FindResource("DOCCSS").empty());
  EXPECT_NE(FindResource("INFOPAGE").find("%DISPATCHERS%"), std::string_view::npos);
  // An icon file: reserved 0, type 1 (icon), one image.
  const std::string_view icon = FindResource("FAVICON");
  ASSERT_GE(icon.size(), 6u);
  EXPECT_EQ(icon.substr(0, 6), std::string_view("\0\0\1\0\1\0", 6));
}

}  // namespace
}  // namespace qit
