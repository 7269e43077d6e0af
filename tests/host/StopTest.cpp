// Stopping the data module while connections are open and calls are in flight, and the list
// of stops it runs.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>

#include "host/StopList.h"
#include "host/unDMPrincipal.h"

namespace qit {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kRecordsPerCall = 3;

std::string EnviarRequest(int port) {
  std::string items;
  for (int i = 0; i < kRecordsPerCall; ++i)
    items += "<tns:TIntegraTelemetria><tns:ID_Veiculo>VEI" + std::to_string(i) +
             "</tns:ID_Veiculo><tns:DataOperacao>2024-05-01T00:00:00</tns:DataOperacao></tns:TIntegraTelemetria>";
  const std::string body =
      "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\" xmlns:tns=\"http://tempuri.org/\">"
      "<soap:Body><tns:ServicoTelemetria___Enviar><tns:ListaTelemetria>" +
      items + "</tns:ListaTelemetria></tns:ServicoTelemetria___Enviar></soap:Body></soap:Envelope>";
  return "POST /Integracao_Telemetria HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
         "\r\nContent-Type: text/xml\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// A blocking loopback connection; closed when destroyed.
class Connection {
 public:
  explicit Connection(int port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~Connection() { ::close(fd_); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  bool Connected() const { return connected_; }
  bool Send(const std::string& bytes) {
    return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
  }
  // Everything the server sent until it closed the connection.
  std::string ReadToEnd() {
    std::string received;
    char buffer[4096];
    for (ssize_t n; (n = ::recv(fd_, buffer, sizeof buffer, 0)) > 0;) received.append(buffer, static_cast<std::size_t>(n));
    return received;
  }

 private:
  int fd_;
  bool connected_ = false;
};

class StopTest : public testing::Test {
 protected:
  void SetUp() override {
    folder_.folder = fs::temp_directory_path() / ("qit-stop-" + std::to_string(::getpid()));
    fs::remove_all(folder_.folder);
    fs::create_directories(folder_.folder);
  }
  void TearDown() override { fs::remove_all(folder_.folder); }

  ProgramFolder folder_;
  boost::asio::io_context loop_;  // never run: the workers are not started
};

// 50 connections that never finish their request and 150 calls sent at once: the stop ends
// within its deadline, every connection is let go, and every call that was answered has its
// list in the queue.
TEST_F(StopTest, StopWithOpenConnectionsAndCallsInFlightKeepsEveryAnsweredList) {
  std::ofstream(folder_.ConfigurationFile()) << "[Portas]\nQuantidade=1\nPorta_1=0\nCodigoEmpresa_1=7\n";
  TdmPrincipal dm(folder_, loop_);
  dm.DataModuleCreate();
  const int port = dm.Servidores()[1]->BoundPort();

  std::vector<std::unique_ptr<Connection>> idle;
  for (int i = 0; i < 50; ++i) {
    idle.push_back(std::make_unique<Connection>(port));
    ASSERT_TRUE(idle.back()->Connected());
    idle.back()->Send("POST /Integracao_Telemetria HTTP/1.1\r\nHost: 127.0.0.1\r\n");
  }

  const std::string request = EnviarRequest(port);
  std::atomic<int> answered = 0, refused = 0;
  std::vector<std::jthread> callers;
  for (int i = 0; i < 150; ++i)
    callers.emplace_back([&] {
      Connection connection(port);
      if (!connection.Connected() || !connection.Send(request)) return;
      const std::string answer = connection.ReadToEnd();
      if (answer.rfind("HTTP/1.1 200 ", 0) == 0) ++answered;
      else if (!answer.empty()) ++refused;
    });
  while (answered < 50) std::this_thread::sleep_for(std::chrono::milliseconds(1));

  const auto deadline = Clock::now() + std::chrono::seconds(10);
  dm.Stop(deadline);
  EXPECT_LT(Clock::now(), deadline);
  callers.clear();  // every caller got its answer or saw the connection closed
  for (const auto& connection : idle) EXPECT_EQ(connection->ReadToEnd(), "");

  EXPECT_EQ(refused, 0);
  const std::size_t queued = dm.ListaDeEnvio().WaitingRecords();
  EXPECT_GE(queued, static_cast<std::size_t>(answered) * kRecordsPerCall);
  EXPECT_LE(queued, std::size_t{150} * kRecordsPerCall);
}

}  // namespace
}  // namespace qit

namespace qit {
namespace {

// The stops run the last registered first, each once, and the result is false when any
// part could not stop in time.
TEST(StopListTest, RunsTheLastRegisteredFirstAndOnce) {
  StopList stops;
  std::vector<std::string> ran;
  const auto stop = [&](std::string name, bool in_time) {
    stops.Add(name, [&ran, name, in_time](Clock::time_point) {
      ran.push_back(name);
      return in_time;
    });
  };
  stop("logs", true);
  stop("workers", false);
  stop("listeners", true);
  EXPECT_EQ(stops.Names(), (std::vector<std::string>{"logs", "workers", "listeners"}));
  EXPECT_FALSE(stops.Run(Clock::now()));
  EXPECT_EQ(ran, (std::vector<std::string>{"listeners", "workers", "logs"}));
  EXPECT_TRUE(stops.Run(Clock::now()));  // nothing left to stop
  EXPECT_EQ(ran.size(), 3u);
}

// The data module's parts register as they start: a creation that went through stops them
// all, listeners before the workers, the workers before the queue, pool and logs; one that
// failed stops only what it had started.
TEST(StopListTest, TheDataModuleStopsThePartsThatStartedTheLastFirst) {
  const fs::path home = fs::temp_directory_path() / ("qit-stop-list-" + std::to_string(::getpid()));
  fs::create_directories(home);
  std::ofstream(home / "QueltoIntegradorTelemetria.dat")
      << "[Portas]\nQuantidade=1\nPorta_1=0\n[Servidor]\nFilaDuravel=F\nPortaMetricas=0\n";
  boost::asio::io_context loop;
  {
    TdmPrincipal dm(ProgramFolder{home}, loop);
    dm.DataModuleCreate();
    EXPECT_EQ(dm.StartedParts(), (std::vector<std::string>{"logs", "connection pool", "send queue", "workers",
                                                           "serving threads", "company listeners", "timers"}));
    EXPECT_TRUE(dm.Stop(Clock::now() + std::chrono::seconds(5)));
    EXPECT_TRUE(dm.StartedParts().empty());
    EXPECT_FALSE(dm.Servidores()[1]->Active());
  }
  // A folder in the configuration file's place: the creation stops at its write.
  fs::remove(home / "QueltoIntegradorTelemetria.dat");
  fs::create_directories(home / "QueltoIntegradorTelemetria.dat");
  {
    TdmPrincipal dm(ProgramFolder{home}, loop);
    EXPECT_THROW(dm.DataModuleCreate(), std::exception);
    EXPECT_EQ(dm.StartedParts(), (std::vector<std::string>{"logs", "connection pool"}));
  }
  fs::remove_all(home);
}

}  // namespace
}  // namespace qit
