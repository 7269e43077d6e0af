#include <gtest/gtest.h>

#include <climits>
#include <fstream>
#include <optional>
#include <sstream>

#include <boost/asio/ip/tcp.hpp>

#include "host/IniFile.h"
#include "host/SettingsTable.h"
#include "host/unDMPrincipal.h"

namespace qit {
namespace {

namespace fs = std::filesystem;

TEST(Configuration, IntegerRule) {
  struct Case {
    const char* text;
    int expected;
  };
  const Case cases[] = {
      {"42", 42},          {"  42", 42},         {"-7", -7},         {"+7", 7},
      {"0x1E", 30},        {"0X1e", 30},         {"$1F", 31},        {"x10", 16},
      {"X10", 16},         {"-$10", -16},        {"abc", -1},        {"12abc", -1},
      {"", -1},            {"$", -1},            {"--1", -1},        {"1 2", -1},
      {"2147483647", INT_MAX}, {"2147483648", -1}, {"-2147483648", INT_MIN},
      {"0x7FFFFFFF", INT_MAX}, {"0x80000000", -1}, {"-0x80000000", INT_MIN},
  };
  for (const Case& c : cases) EXPECT_EQ(ConfigurationInteger(c.text, -1), c.expected) << '"' << c.text << '"';
}

TEST(Configuration, LevelRule) {
  EXPECT_EQ(ConfigurationLevel("", stDebug), stError);
  EXPECT_EQ(ConfigurationLevel("stError", stDebug), stError);
  EXPECT_EQ(ConfigurationLevel("stDebug", stError), stDebug);
  EXPECT_EQ(ConfigurationLevel("stWarning", stDebug), stWarning);
  EXPECT_EQ(ConfigurationLevel("STDEBUG", stDebug), stDebug);  // no match: the level stays
  EXPECT_EQ(ConfigurationLevel("STDEBUG", stWarning), stWarning);
}

// A scratch program folder holding an optional configuration file.
class DataModuleTest : public testing::Test {
 protected:
  void SetUp() override {
    folder_.folder = fs::temp_directory_path() / ("qit-config-" + std::to_string(::getpid()) + "-" +
                                                testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(folder_.folder);
    fs::create_directories(folder_.folder);
  }
  void TearDown() override { fs::remove_all(folder_.folder); }

  void WriteIni(const std::string& text) { std::ofstream(folder_.ConfigurationFile()) << text; }

  std::string ReadFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  // Everything the data module's `Log` wrote.
  std::string LogText() {
    std::string text;
    for (const auto& entry : fs::directory_iterator(folder_.folder / "Logs/Integradores/Telemetria"))
      if (entry.path().filename().string().rfind("log_enviar", 0) == 0) text += ReadFile(entry.path());
    return text;
  }

  // Runs the creation handler; returns the error text, empty when it succeeded.
  std::string Create(TdmPrincipal& dm) {
    try {
      dm.DataModuleCreate();
      return "";
    } catch (const std::exception& error) {
      return error.what();
    }
  }

  ProgramFolder folder_;
  boost::asio::io_context loop_;  // never run: the start-up timers stay pending
  boost::asio::io_context io_;
};

TEST_F(DataModuleTest, NoFileGivesDefaultsAndCreatesTheNormalisedFile) {
  {
    TdmPrincipal dm(folder_, loop_);
    EXPECT_EQ(Create(dm), "");
    EXPECT_EQ(dm.Settings().Qtde_Dias_Remocao, 5);
    EXPECT_EQ(dm.Settings().TempoAguardar_Minutos, 15);
    EXPECT_TRUE(dm.Settings().GravarMotorista);
    EXPECT_TRUE(dm.Settings().ConsultarEmpresa);
    EXPECT_FALSE(dm.Settings().Exportar_Telemetria);
    EXPECT_EQ(dm.Settings().RegistrosPorTransacao, 1);
    EXPECT_EQ(dm.Settings().SessoesPorTransacao, 1);
    EXPECT_EQ(dm.Settings().IntervaloMinimoProcessamento_Segundos, 10);
    EXPECT_EQ(dm.Settings().Quantidade, 0);
    EXPECT_EQ(dm.HTTPServer().Port(), 10165);
    EXPECT_FALSE(dm.HTTPServer().Active());
    EXPECT_EQ(dm.Log().LogLevel(), stError);
    EXPECT_EQ(dm.Log_Atualizar().LogLevel(), stError);
  }
  EXPECT_EQ(ReadFile(folder_.ConfigurationFile()),
            "[CONFIGURACOES]\nQtde_Dias_Remocao=5\nTempoAguardar_Minutos=15\nGravarMotorista=T\n"
            "ConsultarEmpresa=T\nExportar_Telemetria=F\nRegistrosPorTransacao=1\nSessoesPorTransacao=1\n"
            "IntervaloMinimoProcessamento_Segundos=10\n[Servidor]\nPorta=10165\n");
  // At stError the driver line is filtered out, but the header is written.
  const std::string log = LogText();
  EXPECT_NE(log.find("In\xC3\xAD" "cio do log (3.3.0.0)"), std::string::npos);
  EXPECT_EQ(log.find("Gravar Motorista"), std::string::npos);
}

TEST_F(DataModuleTest, ValuesFollowTheParsingRulesAndAreWrittenBackNormalised) {
  WriteIni(
      "; kept comment\n"
      "[configuracoes]\n"
      "qtde_dias_remocao = 0x1E \n"
      "TEMPOAGUARDAR_MINUTOS=abc\n"
      "gravarmotorista=t\n"
      "registrosportransacao=0100\n"
      "intervalominimoprocessamento_segundos=0\n"
      "ConsultarEmpresa=T\n"
      "Exportar_Telemetria=T\n"
      "[log]\n"
      "level=STDEBUG\n"
      "[Outra]\n"
      "Chave=Valor\n");
  {
    TdmPrincipal dm(folder_, loop_);
    EXPECT_EQ(Create(dm), "");
    EXPECT_EQ(dm.Settings().Qtde_Dias_Remocao, 30);
    EXPECT_EQ(dm.Settings().TempoAguardar_Minutos, 15);
    EXPECT_FALSE(dm.Settings().GravarMotorista);
    EXPECT_TRUE(dm.Settings().ConsultarEmpresa);
    EXPECT_TRUE(dm.Settings().Exportar_Telemetria);
    EXPECT_EQ(dm.Settings().RegistrosPorTransacao, 100);
    EXPECT_EQ(dm.Settings().IntervaloMinimoProcessamento_Segundos, 0);
    EXPECT_EQ(dm.Log().LogLevel(), stDebug);  // "STDEBUG" matches no level
    EXPECT_EQ(dm.Log_Atualizar().LogLevel(), stError);  // a key of its own
  }
  // Only the values change; the missing section comes at the end.
  EXPECT_EQ(ReadFile(folder_.ConfigurationFile()),
            "; kept comment\n"
            "[configuracoes]\n"
            "qtde_dias_remocao = 30\n"
            "TEMPOAGUARDAR_MINUTOS=15\n"
            "gravarmotorista=F\n"
            "registrosportransacao=100\n"
            "intervalominimoprocessamento_segundos=0\n"
            "ConsultarEmpresa=T\n"
            "Exportar_Telemetria=T\n"
            "SessoesPorTransacao=1\n"
            "[log]\n"
            "level=STDEBUG\n"
            "[Outra]\n"
            "Chave=Valor\n"
            "[Servidor]\n"
            "Porta=10165\n");
  EXPECT_NE(LogText().find(" : Gravar Motorista = F\r\n"), std::string::npos);
}

// The same rule for both logs' levels: [Log] Level and [Log] LevelAtualizar.
TEST_F(DataModuleTest, LevelTextsDecideWhetherTheDriverLineIsWritten) {
  struct Case {
    const char* level;
    TLogLevel expected;
    bool line;
  };
  const Case cases[] = {{"stDebug", stDebug, true}, {"", stError, false}, {"stWarning", stWarning, false},
                        {"qualquer", stDebug, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.level);
    fs::remove_all(folder_.folder / "Logs");
    WriteIni(std::string("[Log]\nLevel=") + c.level + "\nLevelAtualizar=" + c.level + "\n");
    TdmPrincipal dm(folder_, loop_);
    EXPECT_EQ(Create(dm), "");
    EXPECT_EQ(dm.Log().LogLevel(), c.expected);
    EXPECT_EQ(dm.Log_Atualizar().LogLevel(), c.expected);
    EXPECT_EQ(LogText().find("Gravar Motorista = T") != std::string::npos, c.line);
  }
}

// Every key of the table falls back to its default when it is missing or its value does not
// parse (an empty text, an integer that is not one, a negative limit); a value that parses
// is taken.
TEST_F(DataModuleTest, EveryKeyOfTheTableReadsItsValueOrItsDefault) {
  // A line "key=<value>" for each key whose value is given.
  const auto file_with = [&](auto value_of) {
    std::string text;
    for (const SettingDefinition& definition : SettingDefinitions())
      if (const std::optional<std::string> value = value_of(definition))
        text += "[" + std::string(definition.section) + "]\n" + std::string(definition.key) + "=" + *value + "\n";
    WriteIni(text);
    return IniFile(folder_.ConfigurationFile());
  };
  EXPECT_EQ(ReadSettings(file_with([](const SettingDefinition& definition) -> std::optional<std::string> {
              if (std::holds_alternative<FlagSetting>(definition.value)) return std::nullopt;
              return std::holds_alternative<IntegerSetting>(definition.value) ? "x" : "";
            })),
            DefaultSettings());
  EXPECT_EQ(ReadSettings(file_with([](const SettingDefinition&) -> std::optional<std::string> { return "-7"; }))
                .MaximoConexoes,
            DefaultSettings().MaximoConexoes);

  const Settings read = ReadSettings(file_with([](const SettingDefinition& definition) -> std::optional<std::string> {
    return std::holds_alternative<FlagSetting>(definition.value) ? "T" : "7";
  }));
  for (const SettingDefinition& definition : SettingDefinitions()) {
    SCOPED_TRACE(definition.key);
    if (const auto* integer = std::get_if<IntegerSetting>(&definition.value)) {
      EXPECT_EQ(read.*integer->field, 7);
    } else if (const auto* flag = std::get_if<FlagSetting>(&definition.value)) {
      EXPECT_TRUE(read.*flag->field);
    } else if (const auto* text = std::get_if<TextSetting>(&definition.value)) {
      EXPECT_EQ(read.*text->field, "7");
    }
  }
  EXPECT_EQ(DefaultSettings().TempoMaximoEtapa_Segundos, 60);  // twice the default lock wait
  EXPECT_EQ(DefaultSettings().Porta, kDefaultMainPort);
}

TEST_F(DataModuleTest, CompanyPortsDefaultToConsecutivePortsAndCodeZero) {
  WriteIni("[Portas]\nQuantidade=3\nporta_2=20000\nCodigoEmpresa_2=7\n");
  const IniFile ini(folder_.ConfigurationFile());
  const std::vector<CompanyPort> ports = ReadCompanyPorts(ini, 3);
  ASSERT_EQ(ports.size(), 3u);
  const std::pair<int, int> expected[] = {{10166, 0}, {20000, 7}, {10168, 0}};
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(ports[i].port, expected[i].first);
    EXPECT_EQ(ports[i].company_code, expected[i].second);
  }
}

TEST_F(DataModuleTest, EachCompanyPortGetsAnActiveListener) {
  // Port 0: the system chooses a free port, so the test never collides with a running service.
  WriteIni("[Portas]\nQuantidade=2\nPorta_1=0\nPorta_2=0\nCodigoEmpresa_2=7\n[Servidor]\nPorta=12345\n");
  TdmPrincipal dm(folder_, loop_);
  EXPECT_EQ(Create(dm), "");
  ASSERT_EQ(dm.Servidores().size(), 3u);
  EXPECT_EQ(dm.Servidores()[0], nullptr);
  for (int n = 1; n <= 2; ++n) {
    ASSERT_NE(dm.Servidores()[n], nullptr);
    EXPECT_EQ(dm.Servidores()[n]->Name(), "Server" + std::to_string(n));
    EXPECT_EQ(dm.Servidores()[n]->Tag(), n == 2 ? 7 : 0);
    EXPECT_TRUE(dm.Servidores()[n]->Active());
  }
  EXPECT_EQ(dm.HTTPServer().Port(), 12345);
  EXPECT_FALSE(dm.HTTPServer().Active());
}

TEST_F(DataModuleTest, ABusyPortStopsTheBuildingThere) {
  // Listener 2 asks for the port of listener 1, which is already open.
  boost::asio::ip::tcp::acceptor taken(io_, {boost::asio::ip::tcp::v4(), 0});
  const int busy = taken.local_endpoint().port();
  WriteIni("[Portas]\nQuantidade=3\nPorta_1=0\nPorta_2=" + std::to_string(busy) +
           "\n[Servidor]\nPorta=12345\n[Log]\nLevel=stDebug\n");
  TdmPrincipal dm(folder_, loop_);
  EXPECT_EQ(Create(dm), "Could not bind socket. Address and port are already in use.");
  ASSERT_EQ(dm.Servidores().size(), 4u);
  EXPECT_TRUE(dm.Servidores()[1]->Active());
  ASSERT_NE(dm.Servidores()[2], nullptr);
  EXPECT_FALSE(dm.Servidores()[2]->Active());
  EXPECT_EQ(dm.Servidores()[3], nullptr);
  EXPECT_EQ(dm.HTTPServer().Port(), 10165);  // the creation did not go through
  EXPECT_NE(LogText().find("Gravar Motorista = T"), std::string::npos);
}

TEST_F(DataModuleTest, NegativeQuantity) {
  WriteIni("[Portas]\nQuantidade=-1\n[Log]\nLevel=stDebug\n");
  {
    TdmPrincipal dm(folder_, loop_);
    EXPECT_EQ(Create(dm), "");
    EXPECT_TRUE(dm.Servidores().empty());
  }
  WriteIni("[Portas]\nQuantidade=-2\n[Log]\nLevel=stDebug\n[Servidor]\nPorta=12345\n");
  TdmPrincipal dm(folder_, loop_);
  EXPECT_EQ(Create(dm), "Range check error");
  EXPECT_TRUE(dm.Servidores().empty());
  EXPECT_EQ(dm.HTTPServer().Port(), 10165);
  EXPECT_NE(LogText().find("Gravar Motorista = T"), std::string::npos);
}

TEST_F(DataModuleTest, UnwritableFileStopsBeforeThePorts) {
  // A folder in the file's place cannot be written, not even by root.
  fs::create_directories(folder_.ConfigurationFile());
  TdmPrincipal dm(folder_, loop_);
  EXPECT_EQ(Create(dm), "Unable to write to " + folder_.ConfigurationFile().string());
  EXPECT_EQ(dm.Settings().Qtde_Dias_Remocao, 5);  // values read before the first write stay in effect
  EXPECT_TRUE(dm.Settings().GravarMotorista);
  EXPECT_TRUE(dm.Servidores().empty());
}

}  // namespace
}  // namespace qit

namespace qit {
namespace {

TEST_F(DataModuleTest, TheConnectionFileIsLoadedFirst) {
  std::ofstream(folder_.ConnectionFile())
      << "<Connections><MaxPoolSize>3</MaxPoolSize><Definitions><Definition><Name>GPS</Name>"
         "<ConnectionString>FIB?Server=;Database=/tmp/x.fdb;UserID=SYSDBA;Password=k;Charset=UTF8;"
         "</ConnectionString><Default>True</Default><ConnectionType>Interbase</ConnectionType>"
         "</Definition></Definitions></Connections>";
  TdmPrincipal dm(folder_, loop_);
  EXPECT_EQ(Create(dm), "");
  EXPECT_EQ(dm.ConnectionManager().MaxPoolSize(), 3);
  ASSERT_EQ(dm.ConnectionManager().Connections().size(), 1u);
  EXPECT_NE(dm.ConnectionManager().Connections()[0].ConnectionString.find("/tmp/x.fdb"), std::string::npos);
}

TEST_F(DataModuleTest, AnUnreadableConnectionFileStopsEverything) {
  std::ofstream(folder_.ConnectionFile()) << "<Connections><Definitions></Connections>";
  TdmPrincipal dm(folder_, loop_);
  EXPECT_EQ(Create(dm).rfind("Cannot load XML document.\rReason: ", 0), 0u);
  EXPECT_FALSE(fs::exists(folder_.ConfigurationFile()));  // the configuration was never opened
  EXPECT_EQ(dm.Settings().Qtde_Dias_Remocao, 0);
  EXPECT_FALSE(dm.Settings().GravarMotorista);
  EXPECT_TRUE(dm.Servidores().empty());
}

}  // namespace
}  // namespace qit
