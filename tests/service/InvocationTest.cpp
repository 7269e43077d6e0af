#include <atomic>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "service/IntegracaoTelemetria_Invk.h"
#include "soap/ROGuid.h"
#include "soap/TROSOAPMessage.h"

namespace qit::testing {
namespace {

using ::testing::HasSubstr;

// A service whose instances count themselves and remember what the invocation gave them.
class TContador final : public TRORemoteDataModule {
 public:
  explicit TContador(std::atomic<int>& vivos) : vivos_(vivos) { ++vivos_; }
  ~TContador() override { --vivos_; }

 private:
  std::atomic<int>& vivos_;
};

struct Observed {
  IROTransport* transport = nullptr;
  std::string client_id;
};

class TContador_Invoker final : public TROInvoker {
 public:
  explicit TContador_Invoker(Observed& observed) {
    Publish("Invoke_Contar", [&observed](TRORemoteDataModule& instance, IROMessage& message, IROTransport& transport) {
      observed.transport = instance.Transport();
      observed.client_id = GuidToString(instance.ClientID());
      message.InitializeResponse(transport, "Lib", "Contador", "ContarResponse");
      message.FinalizeMessage();
      message.ClearAttributes(transport);
    });
    Publish("Invoke_Falhar", [](TRORemoteDataModule&, IROMessage&, IROTransport&) {
      throw Exception("falhou de propósito", "EMinhaFalha");
    });
  }
};

class InvocationTest : public ::testing::Test {
 protected:
  InvocationTest() {
    factories_.Add(std::make_unique<TROClassFactory>("Contador", std::make_unique<TContador_Invoker>(observed_),
                                                     [this] { return std::make_unique<TContador>(vivos_); }));
    factories_.Add(std::make_unique<TROClassFactory>("Vazio", std::make_unique<TContador_Invoker>(observed_),
                                                     [] { return nullptr; }));
    factories_.Add(std::make_unique<TROClassFactory>("SemInterface", std::make_unique<TServicoTelemetria_Invoker>(),
                                                     [this] { return std::make_unique<TContador>(vivos_); }));
  }

  bool Process(const std::string& message_element, const std::string& header = {}) {
    response_.clear();
    return handler_.Answer(transport_,
                           "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Header>" + header +
                               "</s:Header><s:Body><" + message_element +
                               " xmlns=\"http://tempuri.org/\"><ListaTelemetria/></" + message_element +
                               "></s:Body></s:Envelope>",
                           response_);
  }

  std::atomic<int> vivos_ = 0;
  Observed observed_;
  TROClassFactoryList factories_;
  TROSOAPMessage handler_{factories_, SerializableClasses()};
  FakeTransport transport_;
  std::string response_;
};

TEST_F(InvocationTest, InstanceGetsTransportAndClientIdOnlyForTheCall) {
  const std::string id = "{ABCDEF01-2345-6789-ABCD-EF0123456789}";
  ASSERT_TRUE(Process("contador___CONTAR", "<ROClientIDHeader><ID>" + id + "</ID></ROClientIDHeader>")) << response_;
  EXPECT_EQ(observed_.transport, &transport_);
  EXPECT_EQ(observed_.client_id, id);
  EXPECT_EQ(vivos_, 0) << "the instance outlived its call";
  EXPECT_THAT(response_, HasSubstr("<v1:Contador___ContarResponse/>"));
  EXPECT_THAT(response_, HasSubstr("<ROClientIDHeader SOAP-ENV:mustUnderstand=\"0\" xmlns=\"urn:Lib\"><ID>" + id));
}

TEST_F(InvocationTest, FailuresBecomeFaultsAndLeaveNoInstance) {
  struct Case {
    std::string element, code, text;
  };
  const std::vector<Case> cases = {
      {"Contador___Falhar", "EMinhaFalha", "falhou de propósito"},
      {"Contador___Outra", "EROException", "Unknown method Outra for interface Contador"},
      {"Vazio___Contar", "EROException", "Class factory did not return an instance of \"Vazio\""},
      {"SemInterface___Enviar", "EIntfCastError", "Interface not supported"},
  };
  for (const Case& c : cases) {
    EXPECT_FALSE(Process(c.element)) << c.element;
    EXPECT_THAT(response_, HasSubstr("<faultcode>" + c.code + "</faultcode><faultstring>" + c.text + "</faultstring>"))
        << c.element;
    EXPECT_EQ(vivos_, 0) << c.element;
  }
}

TEST_F(InvocationTest, UnknownMethodCreatesNoInstance) {
  int criados = 0;
  TROClassFactoryList factories;
  factories.Add(std::make_unique<TROClassFactory>("Contador", std::make_unique<TContador_Invoker>(observed_), [&] {
    ++criados;
    return std::make_unique<TContador>(vivos_);
  }));
  TROSOAPMessage handler(factories, SerializableClasses());
  std::string response;
  EXPECT_FALSE(handler.Answer(transport_, "<Envelope><Body><Contador___Apagar/></Body></Envelope>", response));
  EXPECT_EQ(criados, 0);
}

TEST(ClassFactoryList, FindsTheFirstFactoryOfANameInAnyCase) {
  TROClassFactoryList factories;
  std::vector<int> created;
  for (int i = 0; i < 2; ++i)
    factories.Add(std::make_unique<TROClassFactory>("Servico", std::make_unique<TServicoTelemetria_Invoker>(), [&, i] {
      created.push_back(i);
      return std::unique_ptr<TRORemoteDataModule>();
    }));
  const TROClassFactory* found = factories.Find("SERVICO");
  ASSERT_NE(found, nullptr);
  found->CreateInstance({});
  EXPECT_EQ(created, std::vector<int>{0});
  EXPECT_EQ(factories.Find("Outro"), nullptr);
}

}  // namespace
}  // namespace qit::testing
