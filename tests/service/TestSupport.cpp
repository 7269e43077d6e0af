#include "TestSupport.h"

#include <atomic>
#include <fstream>
#include <sstream>

#include <unistd.h>

#include <fmt/format.h>

namespace qit::testing {

TempFolder::TempFolder() {
  static std::atomic<int> counter = 0;
  path_ = std::filesystem::temp_directory_path() /
          fmt::format("qit_service_tests_{}_{}", ::getpid(), counter.fetch_add(1));
  std::filesystem::create_directories(path_);
}

TempFolder::~TempFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

TestLog::TestLog() : logger_(folder_.Path()) {
  logger_.SetDiretorio("Logs");
  logger_.SetPrefixo("log_enviar");
  // As the program's own log: request threads write to it at the same time.
  logger_.SetMultiThread(true);
}

std::vector<std::string> TestLog::Texts() const {
  std::vector<std::string> texts;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder_.Path())) {
    if (!entry.is_regular_file()) continue;
    std::ifstream file(entry.path(), std::ios::binary);
    std::string line;
    while (std::getline(file, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      const std::size_t separator = line.find(" : ");
      texts.push_back(separator == std::string::npos ? line : line.substr(separator + 3));
    }
  }
  return texts;
}

std::string EnviarEnvelope(const std::string& lista_xml) {
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
         "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\" xmlns:tns=\"http://tempuri.org/\">\n"
         "  <soap:Body>\n"
         "    <tns:ServicoTelemetria___Enviar>" +
         lista_xml +
         "</tns:ServicoTelemetria___Enviar>\n"
         "  </soap:Body>\n"
         "</soap:Envelope>\n";
}

std::string ItemXml(const std::string& id) {
  return "<tns:TIntegraTelemetria>"
         "<tns:ID_Veiculo>" + id + "</tns:ID_Veiculo>"
         "<tns:DataOperacao>2024-03-01</tns:DataOperacao>"
         "<tns:DataHoraInicio>2024-03-01T08:30:00</tns:DataHoraInicio>"
         "<tns:DataHoraTermino>2024-03-01T09:45:10</tns:DataHoraTermino>"
         "<tns:ID_Motorista>M1</tns:ID_Motorista>"
         "<tns:Inf_Adicional_Motorista>Maria</tns:Inf_Adicional_Motorista>"
         "<tns:ID_Agrupamento_1>A1</tns:ID_Agrupamento_1>"
         "<tns:Inf_Adicional_Agrupamento_1>Rota 1</tns:Inf_Adicional_Agrupamento_1>"
         "<tns:ID_Agrupamento_2>A2</tns:ID_Agrupamento_2>"
         "<tns:Inf_Adicional_Agrupamento_2>Turno</tns:Inf_Adicional_Agrupamento_2>"
         "</tns:TIntegraTelemetria>";
}

}  // namespace qit::testing
