#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "transport/soap/TROSOAPMessage.h"

namespace qit::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

// The lines Enviar writes, without the logger's header.
std::vector<std::string> EnviarLines(const TestLog& log) {
  std::vector<std::string> lines;
  for (const std::string& text : log.Texts())
    if (text.starts_with("Host=") || text.starts_with("Porta=") || text.starts_with("Erro em")) lines.push_back(text);
  return lines;
}

class EnviarTest : public ::testing::Test {
 protected:
  EnviarTest() {
    ambiente_.log = &log_.Logger();
    ambiente_.fila = &fila_;
    ambiente_.servidores = {{10166, 7}, {10167, 9}, {10167, 11}};
    factories_.Add(NewServicoTelemetriaFactory(ambiente_));
  }

  // One call of Enviar through the SOAP handler, with the given Host header.
  void Call(const std::string& host, const std::string& lista = "<tns:ListaTelemetria>" + ItemXml("V1") +
                                                               "</tns:ListaTelemetria>") {
    FakeTransport transport;
    transport.headers["Host"] = host;
    response_.clear();
    EXPECT_TRUE(handler_.Answer(transport, EnviarEnvelope(lista), response_)) << response_;
  }

  TestLog log_;
  TListaDeEnvio fila_{log_.Logger()};
  FakeAmbiente ambiente_;
  TROClassFactoryList factories_;
  TROSOAPMessage handler_{factories_, SerializableClasses()};
  std::string response_;
};

TEST_F(EnviarTest, HostPortSelectsTheCompany) {
  struct Case {
    std::string host;
    std::vector<std::string> lines;
    std::optional<std::string> codigo;  // queued company code; nullopt: nothing queued
  };
  const std::vector<Case> cases = {
      {"10.1.1.5:10166", {"Host=10.1.1.5:10166", "Porta=7"}, "7"},
      {"10.1.1.5:10167", {"Host=10.1.1.5:10167", "Porta=9"}, "9"},
      {"10.1.1.5:10170", {"Host=10.1.1.5:10170"}, "0"},
      {"[::1]:10166", {"Host=[::1]:10166", "Porta=7"}, "7"},
      {"servidor", {"Host=servidor", "Erro em (Enviar ) = (EConvertError) : 'servidor' is not a valid integer value"},
       std::nullopt},
      {"[::1]", {"Host=[::1]", "Erro em (Enviar ) = (EConvertError) : '[::1]' is not a valid integer value"},
       std::nullopt},
      {"10.1.1.5:", {"Host=10.1.1.5:", "Erro em (Enviar ) = (EConvertError) : '' is not a valid integer value"},
       std::nullopt},
      {"", {"Host=", "Erro em (Enviar ) = (EConvertError) : '' is not a valid integer value"}, std::nullopt},
  };
  std::size_t seen = 0;
  for (const Case& c : cases) {
    Call(c.host);
    const std::vector<std::string> lines = EnviarLines(log_);
    EXPECT_THAT(std::vector<std::string>(lines.begin() + static_cast<std::ptrdiff_t>(seen), lines.end()),
                ElementsAreArray(c.lines))
        << c.host;
    seen = lines.size();

    const std::vector<TEntradaListaDeEnvio> entradas = fila_.RetirarTudo();
    if (c.codigo) {
      ASSERT_EQ(entradas.size(), 1u) << c.host;
      EXPECT_EQ(entradas[0].CodigoEmpresa, *c.codigo) << c.host;
      ASSERT_EQ(entradas[0].Lista->Count(), 1);
      EXPECT_EQ(entradas[0].Lista->Items(0)->ID_Veiculo, "V1");
    } else {
      EXPECT_THAT(entradas, IsEmpty()) << c.host;
    }
    // The client always gets a normal response with an empty Result, also after an error.
    EXPECT_THAT(response_, HasSubstr("<v1:ServicoTelemetria___EnviarResponse><v1:Result/></v1:ServicoTelemetria___"
                                     "EnviarResponse>"))
        << c.host;
  }
}

TEST_F(EnviarTest, WithoutQueueOrLogTheCallIsStillAnswered) {
  ambiente_.fila = nullptr;
  Call("h:10166");
  EXPECT_THAT(EnviarLines(log_), ElementsAre("Host=h:10166", "Porta=7"));
  EXPECT_THAT(response_, HasSubstr("<v1:Result/>"));

  // Before the program can log, lists are still queued with their company.
  ambiente_.fila = &fila_;
  ambiente_.log = nullptr;
  Call("h:10167");
  EXPECT_THAT(EnviarLines(log_), ElementsAre("Host=h:10166", "Porta=7"));
  const auto entradas = fila_.RetirarTudo();
  ASSERT_EQ(entradas.size(), 1u);
  EXPECT_EQ(entradas[0].CodigoEmpresa, "9");
}

TEST_F(EnviarTest, AFullQueueAnswersAFaultSoTheClientSendsAgain) {
  fila_.SetMaximoRegistros(1);
  Call("h:10166");
  FakeTransport transport;
  transport.headers["Host"] = "h:10166";
  response_.clear();
  EXPECT_FALSE(handler_.Answer(transport, EnviarEnvelope("<tns:ListaTelemetria>" + ItemXml("V2") +
                                                                 "</tns:ListaTelemetria>"),
                                       response_));
  EXPECT_THAT(response_, HasSubstr("<faultcode>EListaDeEnvioCheia</faultcode>"));
  EXPECT_THAT(response_, HasSubstr("Fila de envio cheia: 1 registros"));
  EXPECT_THAT(EnviarLines(log_).back(), HasSubstr("Erro em (Enviar ) = (EListaDeEnvioCheia) : Fila de envio cheia"));
  EXPECT_EQ(fila_.RetirarTudo().size(), 1u);  // only the first list
}

TEST_F(EnviarTest, TransportThatIsNotHttpGivesCompanyZero) {
  TServicoTelemetria servico(ambiente_);
  OtherTransport transport;
  servico.Activate({}, transport);
  TListaIntegraTelemetria lista;
  lista.Add()->ID_Veiculo = "V";
  const std::unique_ptr<TListaResultTelemetria> result = servico.Enviar(&lista);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(result->Count(), 0);
  EXPECT_THAT(EnviarLines(log_), IsEmpty());
  const auto entradas = fila_.RetirarTudo();
  ASSERT_EQ(entradas.size(), 1u);
  EXPECT_EQ(entradas[0].CodigoEmpresa, "0");
  EXPECT_NE(entradas[0].Lista->Items(0), lista.Items(0)) << "the queue must keep its own copy";
}

TEST_F(EnviarTest, ParallelCallsAreQueuedWithTheirOwnCompanies) {
  constexpr int kCalls = 20;
  std::vector<std::thread> threads;
  for (int i = 0; i < kCalls; ++i)
    threads.emplace_back([this, i] {
      FakeTransport transport;
      transport.headers["Host"] = i % 2 == 0 ? "a:10166" : "b:10167";
      std::string response;
      EXPECT_TRUE(handler_.Answer(
          transport,
          EnviarEnvelope("<tns:ListaTelemetria>" + ItemXml(i % 2 == 0 ? "par" : "impar") + "</tns:ListaTelemetria>"),
          response));
    });
  for (std::thread& thread : threads) thread.join();
  const auto entradas = fila_.RetirarTudo();
  ASSERT_EQ(entradas.size(), static_cast<std::size_t>(kCalls));
  for (const TEntradaListaDeEnvio& entrada : entradas)
    EXPECT_EQ(entrada.CodigoEmpresa, entrada.Lista->Items(0)->ID_Veiculo == "par" ? "7" : "9");
}

}  // namespace
}  // namespace qit::testing
