// A record given up on is written as a request that the service reads back as that record.
#include "workers/DeadLetterFile.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "FaultyFileLayer.h"
#include "RecordingService.h"
#include "SoapTestSupport.h"
#include "contract/ROServer.h"
#include "soap/TROSOAPMessage.h"

namespace qit::testing {
namespace {

namespace fs = std::filesystem;

QueuedRecord TrickyRecord() {
  QueuedRecord queued;
  queued.company_code = 7;
  TIntegraTelemetria& r = queued.record;
  r.ID_Veiculo = "VEI<001>";
  r.DataOperacao = TDateTime::EncodeDate(2024, 5, 1);
  // Milliseconds, a leading zero among them, are kept.
  r.DataHoraInicio = TDateTime::Encode({2024, 5, 1, 8, 0, 5, 500});
  r.DataHoraTermino = TDateTime::Encode({2024, 5, 1, 17, 30, 0, 7});
  r.ID_Motorista = "MOT&1";
  r.Inf_Adicional_Motorista = "João \"Zé\" d'Ávila";
  r.ID_Agrupamento_1 = "TURNO-A";
  r.Inf_Adicional_Agrupamento_1 = "]]> -- não é um comentário";
  r.ID_Agrupamento_2 = "   ";  // blanks only
  // Line ends of every kind, a tab and blanks at both ends come back as they were.
  r.Inf_Adicional_Agrupamento_2 = " Rota 1\rRota 2\r\nRota 3\n\tfim ";
  return queued;
}

std::string ReadFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class DeadLetterFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() / ("qit-dead-letter-" + std::to_string(::getpid())) / "Rejeitados";
    fs::remove_all(folder_.parent_path());
  }
  void TearDown() override { fs::remove_all(folder_.parent_path()); }

  fs::path folder_;
};

TEST_F(DeadLetterFileTest, TheFileIsAnEnviarRequestThatReadsBackAsTheRecord) {
  const QueuedRecord queued = TrickyRecord();
  const TDateTime now = TDateTime::Encode({2026, 12, 10, 9, 5, 7});
  const fs::path file = WriteDeadLetterFile(folder_, queued, "Erro --> de teste\r\nlinha 2-", now);
  EXPECT_EQ(file, folder_ / "rejeitados_261210_090507_1.xml");

  const std::string request = ReadFile(file);
  EXPECT_NE(request.find("<!-- CodigoEmpresa: 7 -->"), std::string::npos);
  EXPECT_NE(request.find("<!-- Erro: Erro - -> de teste\r\nlinha 2- -->"), std::string::npos) << request;

  ReceivedLists received;
  TROClassFactoryList factories;
  factories.Add(RecordingFactory(received));
  TROSOAPMessage handler(factories, SerializableClasses());
  FakeTransport transport;
  std::string response;
  ASSERT_TRUE(handler.Answer(transport, request, response)) << response;
  const auto lists = received.Take();
  ASSERT_EQ(lists.size(), 1u);
  ASSERT_EQ(lists[0]->Count(), 1);
  const TIntegraTelemetria& back = *lists[0]->Items(0);
  for (const TROField<TIntegraTelemetria>& field : TIntegraTelemetria::Fields())
    std::visit([&](auto member) { EXPECT_EQ(back.*member, queued.record.*member) << field.name; }, field.member);
}

TEST_F(DeadLetterFileTest, NamesAreNeverReusedWithinTheSameSecond) {
  const TDateTime now = TDateTime::Encode({2026, 1, 2, 3, 4, 5});
  EXPECT_EQ(WriteDeadLetterFile(folder_, TrickyRecord(), "a", now).filename(), "rejeitados_260102_030405_1.xml");
  EXPECT_EQ(WriteDeadLetterFile(folder_, TrickyRecord(), "b", now).filename(), "rejeitados_260102_030405_2.xml");
  EXPECT_NE(ReadFile(folder_ / "rejeitados_260102_030405_1.xml").find("<!-- Erro: a -->"), std::string::npos);
}

TEST_F(DeadLetterFileTest, AFolderThatCannotBeMadeRaises) {
  fs::create_directories(folder_.parent_path());
  std::ofstream(folder_) << "a file where the folder should be";
  EXPECT_THROW(WriteDeadLetterFile(folder_, TrickyRecord(), "x", TDateTime()), Exception);
}

// A file that fails at any step raises naming the step and leaves nothing behind: a file cut
// short would be posted again as a broken request, and one whose name may not last would be
// written again under another name when the record, still in the queue, fails once more.
TEST_F(DeadLetterFileTest, AFailureAtAnyStepRaisesAndLeavesNoFile) {
  struct Case {
    const char* name;
    void (*fault)(FaultyFileLayer&);
    const char* error;  // the start of the error text
    bool names_folder;  // else the file
  };
  const Case cases[] = {
      {"the disk fills during the write", [](FaultyFileLayer& f) { f.FailWritesAfter(100); }, "Cannot write", false},
      {"the file's sync fails", [](FaultyFileLayer& f) { f.FailFileSyncs(EIO); }, "Cannot sync", false},
      {"the folder's sync fails", [](FaultyFileLayer& f) { f.FailFolderSyncs(EIO); }, "Cannot sync", true},
  };
  const TDateTime now = TDateTime::Encode({2026, 1, 2, 3, 4, 5});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::create_directories(folder_);
    FaultyFileLayer files;
    c.fault(files);
    try {
      WriteDeadLetterFile(folder_, TrickyRecord(), "x", now, files);
      ADD_FAILURE() << "no error";
    } catch (const Exception& error) {
      EXPECT_EQ(error.ClassName(), "EInOutError");
      EXPECT_EQ(std::string(error.what()).rfind(std::string(c.error) + " " + folder_.string(), 0), 0u) << error.what();
      EXPECT_EQ(std::string(error.what()).find(".xml") == std::string::npos, c.names_folder) << error.what();
    }
    EXPECT_TRUE(fs::is_empty(folder_));
    files.Heal();
    EXPECT_EQ(WriteDeadLetterFile(folder_, TrickyRecord(), "x", now, files).filename(), "rejeitados_260102_030405_1.xml")
        << "the next try takes the first name again";
    fs::remove_all(folder_);
  }
}

}  // namespace
}  // namespace qit::testing
