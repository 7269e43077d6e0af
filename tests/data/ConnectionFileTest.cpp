#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "FailureOf.h"
#include "data/ConnectionFile.h"
#include "data/ConnectionManager.h"

namespace qit {
namespace {

using ::testing::HasSubstr;

class ConnectionFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = std::filesystem::temp_directory_path() / ("qit-con-" + std::to_string(std::random_device()()));
    std::filesystem::create_directories(folder_);
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  std::filesystem::path Write(std::string_view content) {
    const auto file = folder_ / "QueltoIntegradorTelemetria.con";
    std::ofstream(file, std::ios::binary) << content;
    return file;
  }

  std::filesystem::path folder_;
};

constexpr std::string_view kCanonical = R"(<Connections>
  <PoolingEnabled>False</PoolingEnabled>
  <PoolingBehavior>RaiseError</PoolingBehavior>
  <MaxPoolSize>3</MaxPoolSize>
  <WaitIntervalSeconds>7</WaitIntervalSeconds>
  <PoolTimeoutSeconds>0</PoolTimeoutSeconds>
  <Definitions>
    <Definition>
      <Name>GPS</Name>
      <ConnectionString>FIB?Server=fleet-db;Database=/srv/avls.fdb;UserID=sysdba;Password=pw;</ConnectionString>
      <Default>True</Default>
      <Description>Fleet</Description>
      <ConnectionType>Interbase</ConnectionType>
    </Definition>
    <Definition>
      <Name>Other</Name>
      <ConnectionString>FIB?Database=/tmp/other.fdb</ConnectionString>
    </Definition>
  </Definitions>
</Connections>
)";

TEST_F(ConnectionFileTest, DefinitionsLayoutSetsEverySetting) {
  ConnectionManager manager;
  manager.LoadConnectionFile(Write(kCanonical));
  EXPECT_FALSE(manager.PoolingEnabled());
  EXPECT_EQ(manager.PoolBehaviour(), PoolBehaviour::pbRaiseError);
  EXPECT_EQ(manager.MaxPoolSize(), 3);
  EXPECT_EQ(manager.WaitIntervalSeconds(), 7);
  EXPECT_EQ(manager.PoolTimeoutSeconds(), 0);
  EXPECT_EQ(manager.PoolTransactionBehaviour(), PoolTransactionBehaviour::ptCommit);
  const auto definitions = manager.Connections();
  ASSERT_EQ(definitions.size(), 2u);
  EXPECT_EQ(definitions[0].Name, "GPS");
  EXPECT_EQ(definitions[0].ConnectionString, "FIB?Server=fleet-db;Database=/srv/avls.fdb;UserID=sysdba;Password=pw;");
  EXPECT_TRUE(definitions[0].Default);
  EXPECT_EQ(definitions[0].Description, "Fleet");
  EXPECT_EQ(definitions[0].ConnectionType, "Interbase");
  EXPECT_EQ(definitions[1].Name, "Other");
  EXPECT_FALSE(definitions[1].Default);
  EXPECT_EQ(definitions[1].ConnectionType, "");
  EXPECT_EQ(manager.DefaultConnectionName(), "GPS");
}

TEST_F(ConnectionFileTest, DefinitionsLayoutDefaultsDifferFromBuiltInValues) {
  ConnectionManager manager;
  ASSERT_EQ(manager.MaxPoolSize(), 100);
  ASSERT_EQ(manager.WaitIntervalSeconds(), 5);
  manager.SetPoolingEnabled(false);
  manager.SetPoolTransactionBehaviour(PoolTransactionBehaviour::ptRollback);
  manager.LoadConnectionFile(Write("<Anything><Definitions/></Anything>"));
  EXPECT_TRUE(manager.PoolingEnabled());
  EXPECT_EQ(manager.PoolBehaviour(), PoolBehaviour::pbWait);
  EXPECT_EQ(manager.MaxPoolSize(), 10);
  EXPECT_EQ(manager.WaitIntervalSeconds(), 1);
  EXPECT_EQ(manager.PoolTimeoutSeconds(), 60);
  // Not part of this layout: it keeps its value.
  EXPECT_EQ(manager.PoolTransactionBehaviour(), PoolTransactionBehaviour::ptRollback);
  // The built-in GPS definition is gone with the rest of the list.
  EXPECT_TRUE(manager.Connections().empty());
  EXPECT_EQ(testing::FailureOf([&] { manager.AcquireConnection("GPS"); }),
            "Cannot find connection \"GPS\" in collection of type ConnectionDefinitions");
}

TEST_F(ConnectionFileTest, PoolingBehaviorTexts) {
  const std::pair<std::string_view, PoolBehaviour> cases[] = {
      {"Wait", PoolBehaviour::pbWait},
      {"pbWait", PoolBehaviour::pbWait},
      {"RaiseError", PoolBehaviour::pbRaiseError},
      {"pbRaiseError", PoolBehaviour::pbRaiseError},
      {"IgnoreAndReturn", PoolBehaviour::pbIgnoreAndReturn},
      {"Whatever", PoolBehaviour::pbWait},  // names no value: waiting, not an endless retry
      {"", PoolBehaviour::pbWait},
  };
  for (const auto& [text, expected] : cases) {
    const ConnectionFileSettings settings = ParseConnectionFile(
        "<Connections><PoolingBehavior>" + std::string(text) + "</PoolingBehavior></Connections>");
    EXPECT_EQ(settings.pool_behaviour, expected) << text;
  }
}

TEST_F(ConnectionFileTest, UnnamedDefinitionIsNumberedByPositionAmongAllChildren) {
  const ConnectionFileSettings settings = ParseConnectionFile(
      "<Connections><Definitions>"
      "<Definition><Name>First</Name></Definition>"
      "<Note>skipped</Note>"
      "<Definition><ConnectionString>FIB?Database=x</ConnectionString></Definition>"
      "</Definitions></Connections>");
  ASSERT_TRUE(settings.definitions);
  ASSERT_EQ(settings.definitions->size(), 2u);
  EXPECT_EQ((*settings.definitions)[0].Name, "First");
  EXPECT_EQ((*settings.definitions)[1].Name, "Connection3");
}

TEST_F(ConnectionFileTest, PropertyLayoutSetsOnlyWhatIsPresent) {
  ConnectionManager manager;
  manager.LoadConnectionFile(Write(
      "<TDAConnectionManager>\n"
      "  <Name>ignored</Name>\n"
      "  <MaxPoolSize>4</MaxPoolSize>\n"
      "  <PoolBehaviour>pbIgnoreAndReturn</PoolBehaviour>\n"
      "  <PoolTransactionBehaviour>ptRollback</PoolTransactionBehaviour>\n"
      "  <Connections>\n"
      "    <Item1><Name>GPS</Name><ConnectionString>FIB?Database=/a.fdb</ConnectionString>"
      "<ConnectionType>Interbase</ConnectionType><Default>True</Default></Item1>\n"
      "    <Other><Name>skipped</Name></Other>\n"
      "    <item2><Name>Second</Name></item2>\n"
      "  </Connections>\n"
      "</TDAConnectionManager>\n"));
  EXPECT_EQ(manager.MaxPoolSize(), 4);
  EXPECT_EQ(manager.PoolBehaviour(), PoolBehaviour::pbIgnoreAndReturn);
  EXPECT_EQ(manager.PoolTransactionBehaviour(), PoolTransactionBehaviour::ptRollback);
  EXPECT_EQ(manager.WaitIntervalSeconds(), 5);  // missing: keeps the built-in value
  EXPECT_TRUE(manager.PoolingEnabled());
  const auto definitions = manager.Connections();
  ASSERT_EQ(definitions.size(), 2u);
  EXPECT_EQ(definitions[0].Name, "GPS");
  EXPECT_EQ(definitions[0].ConnectionString, "FIB?Database=/a.fdb");
  EXPECT_TRUE(definitions[0].Default);
  EXPECT_EQ(definitions[1].Name, "Second");
}

TEST_F(ConnectionFileTest, PropertyLayoutWithoutConnectionsKeepsTheDefinitions) {
  ConnectionManager manager;
  manager.LoadConnectionFile(Write("<TDAConnectionManager><MaxPoolSize>2</MaxPoolSize></TDAConnectionManager>"));
  ASSERT_EQ(manager.Connections().size(), 1u);
  EXPECT_EQ(manager.Connections()[0].Name, "GPS");
}

TEST_F(ConnectionFileTest, FailuresAndTheirTexts) {
  ConnectionManager manager;
  const auto message = [&](std::string_view content) {
    return testing::FailureOf([&] { manager.LoadConnectionFile(Write(content)); });
  };
  EXPECT_EQ(message("<Connections/>"), "Stream read error");  // 14 bytes
  EXPECT_EQ(message(""), "Stream read error");
  EXPECT_EQ(message("<Connections>\n  <MaxPoolSize>3</MaxPool>\n</Connections>"),
            "Cannot load XML document.\rReason: Start-end tags mismatch\rLine: 2\rPosition: 19");
  EXPECT_EQ(message("<Connections><MaxPoolSize>many</MaxPoolSize></Connections>"),
            "'many' is not a valid integer value");
  EXPECT_THAT(message("<TDAConnectionManager><Connections>"), HasSubstr("Cannot load XML document.\rReason: "));

  EXPECT_THAT(testing::FailureOf([&] { manager.LoadConnectionFile(folder_ / "missing.con"); }),
              HasSubstr("missing.con"));
  // Nothing of a refused file was applied.
  EXPECT_EQ(manager.MaxPoolSize(), 100);
  EXPECT_EQ(manager.Connections().size(), 1u);
}

}  // namespace
}  // namespace qit
