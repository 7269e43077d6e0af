#include <stdexcept>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "LoggerFixture.h"
#include "common/Errors.h"

namespace qit::testing {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

class VoradaLoggerTest : public LoggerFixture {};

TEST_F(VoradaLoggerTest, NewInstanceHasTheStoredDefaults) {
  TVoradaLogger logger(base_);
  EXPECT_EQ(logger.MaximoLinhasTela(), 1000);
  EXPECT_EQ(logger.LogLevel(), stDebug);
  EXPECT_EQ(logger.Prefixo(), "log_");
  EXPECT_EQ(logger.Diretorio(), "Logs");
  EXPECT_FALSE(logger.MultiThread());
  EXPECT_EQ(logger.MaximoDias(), 60);
  EXPECT_TRUE(logger.MostrarDataHora());
}

TEST_F(VoradaLoggerTest, SettingDiretorioCreatesTheFolderInsideTheBase) {
  TVoradaLogger logger(base_, [this] { return now_; });
  logger.SetDiretorio("A/B");
  EXPECT_EQ(logger.Diretorio(), "A/B/");
  EXPECT_TRUE(fs::is_directory(base_ / "A/B"));

  logger.SetDiretorio("");
  EXPECT_EQ(logger.Diretorio(), "A/B/");

  // A leading "/" does not lead out of the base folder.
  logger.SetDiretorio("/Abs");
  EXPECT_TRUE(fs::is_directory(base_ / "Abs"));
  logger.Registrar("x");
  EXPECT_TRUE(fs::exists(base_ / "Abs/log_240315.log"));
}

TEST_F(VoradaLoggerTest, FirstCallFilteredOutStillWritesExactlyTheHeader) {
  auto logger = NewLogger();
  logger->SetLogLevel(stError);
  logger->Registrar("não entra", false, {}, stDebug);
  EXPECT_THAT(ReadTexts(FileOf("log_enviar", now_), now_), ElementsAreArray(HeaderTexts()));
  EXPECT_THAT(FolderEntries(), ElementsAre("log_enviar240315.log"));
}

TEST_F(VoradaLoggerTest, LevelFilter) {
  struct Case {
    TLogLevel logger_level;
    std::vector<std::string> written;
  };
  const Case cases[] = {
      {stError, {"error"}},
      {stWarning, {"warning", "error"}},
      {stDebug, {"warning", "error", "debug"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.logger_level);
    const std::string prefixo = "log_" + std::to_string(c.logger_level) + "_";
    auto logger = NewLogger(prefixo);
    logger->SetLogLevel(c.logger_level);
    logger->Registrar("warning", false, {}, stWarning);
    logger->Registrar("error", false, {}, stError);
    logger->Registrar("debug", false, {}, stDebug);
    EXPECT_THAT(ReadTexts(FileOf(prefixo, now_), now_), ElementsAreArray(WithHeader(c.written)));
  }
}

TEST_F(VoradaLoggerTest, LineLayout) {
  auto logger = NewLogger();
  logger->Registrar("texto");
  logger->Registrar("tela", false, "arquivo");
  logger->Registrar("", false, "só arquivo");
  logger->EntrarMetodo("M");
  logger->Registrar("dentro");
  logger->SairMetodo();
  now_ = At(2024, 1, 5, 0, 0, 0, 7);
  logger->Registrar("cedo");
  logger->SetMostrarDataHora(false);
  logger->Registrar("sem data");

  const std::vector<std::string> lines = ReadLines(FileOf("log_enviar", At(2024, 3, 15)));
  ASSERT_EQ(lines.size(), 9u);
  EXPECT_EQ(lines[3], "15/03/24 10:22:33.123 : texto");
  EXPECT_EQ(lines[4], "15/03/24 10:22:33.123 : arquivo");
  EXPECT_EQ(lines[5], "15/03/24 10:22:33.123 : só arquivo");
  EXPECT_EQ(lines[7], "15/03/24 10:22:33.123 :  |dentro");
  EXPECT_THAT(ReadLines(FileOf("log_enviar", now_)), ElementsAre("05/01/24 00:00:00.007 : cedo", "sem data"));
}

TEST_F(VoradaLoggerTest, MethodsIndentMarkedLinesAndCloseThemAtTheSameDepth) {
  auto logger = NewLogger();
  logger->EntrarMetodo("A");
  logger->EntrarMetodo("B", false, false);
  logger->Registrar("x");
  logger->EntrarMetodo("C");
  logger->Registrar("y");
  logger->SairMetodo();
  logger->SairMetodo();
  logger->SairMetodo();
  logger->SairMetodo();  // nothing left to leave
  logger->Registrar("z");
  EXPECT_THAT(ReadTexts(FileOf("log_enviar", now_), now_),
              ElementsAreArray(WithHeader({"-> A", " |x", " |-> C", " | |y", " |<- C", "<- A", "<- ", "z"})));
}

TEST_F(VoradaLoggerTest, MethodLinesFollowTheLevelButTheDepthAlwaysChanges) {
  auto logger = NewLogger();
  logger->SetLogLevel(stError);
  logger->EntrarMetodo("A");
  logger->Registrar("dentro");
  logger->SairMetodo();
  logger->EntrarMetodo("B", false, true, stError);
  logger->SairMetodo(false, stError);
  logger->Registrar("fora");
  EXPECT_THAT(ReadTexts(FileOf("log_enviar", now_), now_), ElementsAreArray(WithHeader({" |dentro", "-> B", "<- B", "fora"})));
}

TEST_F(VoradaLoggerTest, DepthBelongsToTheInstanceAndTheStackToTheThread) {
  auto logger = NewLogger();
  logger->EntrarMetodo("Principal");
  std::thread other([&] {
    logger->Registrar("outra thread");
    logger->RegistrarExcecaoPilha(nullptr);
    logger->SairMetodo();  // this thread entered nothing
  });
  other.join();
  logger->SairMetodo();
  EXPECT_THAT(ReadTexts(FileOf("log_enviar", now_), now_),
              ElementsAreArray(WithHeader({"-> Principal", " |outra thread", " |Erro em (desconhecido) = (nil)",
                                           " |<- ", "<- Principal"})));
}

TEST_F(VoradaLoggerTest, HeldLinesAreWrittenAsMadeWhenReleasedAndDroppedOtherwise) {
  auto logger = NewLogger();
  const TDateTime first_day = now_;
  logger->Registrar("antes");
  {
    TVoradaLogger::HeldLines held(*logger);
    logger->EntrarMetodo("Tentativa");
    logger->Registrar("descartada");
    logger->SairMetodo();
  }
  {
    TVoradaLogger::HeldLines held(*logger);
    logger->EntrarMetodo("M");
    logger->Registrar("mantida");
    std::thread other([&] { logger->Registrar("outra thread"); });  // not held: another thread's
    other.join();
    logger->SairMetodo();
    logger->Registrar("filtrada", false, {}, stDebug);
    now_ = At(2024, 3, 16, 0, 0, 0, 1);
    logger->Registrar("dia seguinte");
    held.Release();
  }
  EXPECT_THAT(ReadTexts(FileOf("log_enviar", first_day), first_day),
              ElementsAreArray(WithHeader({"antes", " |outra thread", "-> M", " |mantida", "<- M", "filtrada"})));
  EXPECT_THAT(ReadLines(FileOf("log_enviar", now_)), ElementsAre("16/03/24 00:00:00.001 : dia seguinte"));
}

TEST_F(VoradaLoggerTest, ExceptionLayout) {
  struct Case {
    std::unique_ptr<std::exception> error;
    std::string onde;
    std::string expected;
  };
  Case cases[] = {
      {std::make_unique<Exception>("falhou\r\nlinha 2", "EROException"), "Enviar ",
       "Erro em (Enviar ) = (EROException) : falhou linha 2"},
      {std::make_unique<EConvertError>("a\nb\r\r\nc"), "", "Erro em () = (EConvertError) : a b  c"},
      {std::make_unique<std::runtime_error>("padrão"), "Passo", "Erro em (Passo) = (Exception) : padrão"},
      {nullptr, "Onde\r\nquebrado", "Erro em (Onde  quebrado) = (nil)"},
  };
  auto logger = NewLogger();
  logger->SetLogLevel(stError);
  std::vector<std::string> expected;
  for (const Case& c : cases) {
    logger->RegistrarExcecao(c.error.get(), c.onde, true);
    expected.push_back(c.expected);
  }
  EXPECT_THAT(ReadTexts(FileOf("log_enviar", now_), now_), ElementsAreArray(WithHeader(expected)));
}

TEST_F(VoradaLoggerTest, ExceptionLocationFromTheMethodStack) {
  auto logger = NewLogger();
  auto other = NewLogger("log_atualizar");
  const Exception error("e", "EFalha");
  logger->RegistrarExcecaoPilha(&error, false, true);
  logger->EntrarMetodo("Externo", false, false);
  logger->RegistrarExcecaoPilha(&error, false, true);  // one entry: the top serves as caller
  other->EntrarMetodo("Interno");                      // the stack is shared by every instance
  logger->RegistrarExcecaoPilha(&error);
  logger->RegistrarExcecaoPilha(&error, false, true);
  other->SairMetodo();
  logger->SairMetodo();
  EXPECT_THAT(ReadTexts(FileOf("log_enviar", now_), now_),
              ElementsAreArray(WithHeader({"Erro em (desconhecido) = (EFalha) : e", "Erro em (Externo) = (EFalha) : e",
                                           "Erro em (Interno) = (EFalha) : e", "Erro em (Externo) = (EFalha) : e"})));
}

TEST_F(VoradaLoggerTest, LineBreaksAndOtherControlCharactersInAnyTextBecomeBlanks) {
  auto logger = NewLogger();
  logger->Registrar("a\r\nb\nc\rd\x1b[2J");
  logger->Registrar("tela", false, "arq\nuivo");
  logger->EntrarMetodo("Dois\nnomes");
  logger->SairMetodo();
  logger->RegistrarFmt("%s=%d", false, stError, std::string("x\r\ny"), 7);
  EXPECT_THAT(ReadTexts(FileOf("log_enviar", now_), now_),
              ElementsAreArray(WithHeader({"a  b c d [2J", "arq uivo", "-> Dois nomes", "<- Dois nomes", "x  y=7"})));
}

TEST_F(VoradaLoggerTest, RegistrarFmtFormatsPrintfStyle) {
  auto logger = NewLogger();
  logger->SetLogLevel(stWarning);
  logger->RegistrarFmt("%d registros de %s, %5.1f%%", false, stWarning, 12, "placa", 99.24);
  logger->RegistrarFmt("%d", false, stDebug, 1);
  EXPECT_THAT(ReadTexts(FileOf("log_enviar", now_), now_), ElementsAreArray(WithHeader({"12 registros de placa,  99.2%"})));
}

TEST_F(VoradaLoggerTest, RegistrarFmtWithArgumentsThatDoNotFitRaisesAndWritesNothing) {
  auto logger = NewLogger();
  EXPECT_THROW(logger->RegistrarFmt("%d e %d", false, stError, 1), EConvertError);
  EXPECT_THROW(logger->RegistrarFmt("%d", false, stError, std::string("texto")), EConvertError);
  EXPECT_FALSE(fs::exists(FileOf("log_enviar", now_)));
}

}  // namespace
}  // namespace qit::testing
