// The real program: lists it answered before a kill -9 are queued again at the next start.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "LoopbackSocket.h"

namespace {

namespace fs = std::filesystem;
using qit::testing::ConnectTo;
using qit::testing::FreePort;

std::string ReadFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string Item(const std::string& vehicle) {
  return "<tns:TIntegraTelemetria><tns:ID_Veiculo>" + vehicle +
         "</tns:ID_Veiculo><tns:DataOperacao>2024-03-01</tns:DataOperacao>"
         "<tns:DataHoraInicio>2024-03-01T08:30:00</tns:DataHoraInicio>"
         "<tns:DataHoraTermino>2024-03-01T09:45:10</tns:DataHoraTermino></tns:TIntegraTelemetria>";
}

// One Enviar call with the given vehicles; the whole answer (the server closes the
// connection after it).
std::string Enviar(int port, const std::string& items) {
  const std::string body =
      "<?xml version=\"1.0\" encoding=\"utf-8\"?><soap:Envelope "
      "xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\" xmlns:tns=\"http://tempuri.org/\"><soap:Body>"
      "<tns:ServicoTelemetria___Enviar><tns:ListaTelemetria>" +
      items + "</tns:ListaTelemetria></tns:ServicoTelemetria___Enviar></soap:Body></soap:Envelope>";
  const std::string request = "POST /Integracao_Telemetria HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                              "\r\nContent-Type: text/xml; charset=utf-8\r\nContent-Length: " +
                              std::to_string(body.size()) + "\r\n\r\n" + body;
  const int fd = ConnectTo(port);
  if (fd < 0) return {};
  ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  std::string answer;
  char buffer[4096];
  for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) answer.append(buffer, static_cast<std::size_t>(n));
  ::close(fd);
  return answer;
}

class QueueProgramTest : public testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("qit-queue-program-" + std::to_string(::getpid()));
    fs::remove_all(root_);
    fs::create_directories(home_ = root_ / "home");
  }
  void TearDown() override {
    if (child_ > 0) {
      ::kill(child_, SIGKILL);
      ::waitpid(child_, nullptr, 0);
    }
    fs::remove_all(root_);
  }

  void Start() {
    child_ = fork();
    ASSERT_GE(child_, 0);
    if (child_ == 0) {
      execl(QIT_PROGRAM, QIT_PROGRAM, "--home", home_.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  int Stop(int signal) {
    ::kill(child_, signal);
    int status = 0;
    ::waitpid(child_, &status, 0);
    child_ = 0;
    return status;
  }
  // Waits up to `wait` until the log files hold `text` `times` times.
  bool LogHas(const std::string& text, int times = 1, std::chrono::seconds wait = std::chrono::seconds(30)) const {
    const auto until = std::chrono::steady_clock::now() + wait;
    do {
      int found = 0;
      std::error_code error;
      for (const auto& entry : fs::directory_iterator(home_ / "Logs/Integradores/Telemetria", error)) {
        const std::string log = ReadFile(entry.path());
        for (std::size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++found;
      }
      if (found >= times) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    } while (std::chrono::steady_clock::now() < until);
    return false;
  }

  fs::path root_, home_;
  pid_t child_ = 0;
};

TEST_F(QueueProgramTest, ListsAnsweredBeforeAKillComeBackAtTheNextStart) {
  const int port = FreePort();
  // No database: the worker cannot take the records, so they wait in the queue.
  std::ofstream(home_ / "QueltoIntegradorTelemetria.dat")
      << "[Portas]\nQuantidade=1\nPorta_1=" << port << "\nCodigoEmpresa_1=5\n";
  Start();
  std::string answer;
  for (int i = 0; i < 400 && answer.empty(); ++i) {
    answer = Enviar(port, Item("VEI001") + Item("VEI002"));
    if (answer.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  ASSERT_EQ(answer.substr(0, 12), "HTTP/1.1 200") << answer;
  ASSERT_EQ(Enviar(port, Item("VEI003")).substr(0, 12), "HTTP/1.1 200");
  Stop(SIGKILL);

  Start();
  EXPECT_TRUE(LogHas("Fila de envio recuperada: 3 registros de 2 listas"));
  const int status = Stop(SIGTERM);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  // An orderly stop keeps them too.
  Start();
  EXPECT_TRUE(LogHas("Fila de envio recuperada: 3 registros de 2 listas", 2));
}

// FilaDuravel=F: the queue lives in memory only, as before the journal.
TEST_F(QueueProgramTest, WithoutTheDurableQueueNothingIsWrittenToDisk) {
  const int port = FreePort();
  std::ofstream(home_ / "QueltoIntegradorTelemetria.dat")
      << "[Servidor]\nFilaDuravel=F\n[Portas]\nQuantidade=1\nPorta_1=" << port << "\nCodigoEmpresa_1=5\n";
  Start();
  std::string answer;
  for (int i = 0; i < 400 && answer.empty(); ++i) {
    answer = Enviar(port, Item("VEI001"));
    if (answer.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  ASSERT_EQ(answer.substr(0, 12), "HTTP/1.1 200") << answer;
  Stop(SIGKILL);
  EXPECT_FALSE(fs::exists(home_ / "Fila"));
  EXPECT_FALSE(LogHas("Fila de envio recuperada", 1, std::chrono::seconds(0)));
}

}  // namespace
