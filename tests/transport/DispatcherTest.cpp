#include <gtest/gtest.h>

#include "HttpTestClient.h"
#include "common/Errors.h"

namespace qit {
namespace {

TEST(DispatcherTest, AHandlerServesOneEntryOnly) {
  const auto handler = std::make_shared<test::FakeMessageHandler>();
  TROHTTPMessageDispatchers dispatchers;
  dispatchers.Add({"SOAPMessage", handler, true, "Integracao_Telemetria"});
  try {
    dispatchers.Add({"Outro", handler, true, "Outro"});
    FAIL() << "a second entry for the same handler was accepted";
  } catch (const Exception& error) {
    EXPECT_STREQ(error.what(), "Dispatcher for Outro already assigned");
  }
  EXPECT_THROW(dispatchers.Add({"Nenhum", nullptr, true, "Nenhum"}), Exception);
  EXPECT_EQ(dispatchers.Items().size(), 1u);
}

TEST(DispatcherTest, PathsMatchInAnyCaseWithOrWithoutTheLeadingSlashLastEntryFirst) {
  TROHTTPMessageDispatchers dispatchers;
  dispatchers.Add({"A", std::make_shared<test::FakeMessageHandler>(), true, "Integracao_Telemetria"});
  dispatchers.Add({"B", std::make_shared<test::FakeMessageHandler>(), true, "integracao_telemetria"});
  dispatchers.Add({"C", std::make_shared<test::FakeMessageHandler>(), true, "/Raiz"});
  struct Case {
    const char* path;
    const char* found;  // nullptr: no entry
  };
  const Case cases[] = {
      {"/INTEGRACAO_TELEMETRIA", "B"}, {"Integracao_Telemetria", "B"}, {"/raiz", "C"},
      {"raiz", nullptr},               {"/Integracao", nullptr},       {"/", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const TROHTTPDispatcher* found = dispatchers.FindDispatcher(c.path);
    if (c.found == nullptr) {
      EXPECT_EQ(found, nullptr);
    } else {
      ASSERT_NE(found, nullptr);
      EXPECT_EQ(found->Name, c.found);
    }
  }
}

}  // namespace
}  // namespace qit
