// The metrics and health endpoint of the data module, over real HTTP.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <fmt/format.h>

#include "LoopbackSocket.h"
#include "host/unDMPrincipal.h"

namespace qit {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::FreePort;

// A blocking connection to address:port; closed when destroyed.
class Connection {
 public:
  Connection(int port, const char* address = "127.0.0.1") : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(static_cast<std::uint16_t>(port));
    ::inet_pton(AF_INET, address, &target.sin_addr);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&target), sizeof target) == 0;
  }
  ~Connection() { ::close(fd_); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  bool Connected() const { return connected_; }
  // Sends the request and reads until the server closes.
  std::string Exchange(const std::string& request) {
    if (::send(fd_, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) return {};
    std::string received;
    char buffer[4096];
    for (ssize_t n; (n = ::recv(fd_, buffer, sizeof buffer, 0)) > 0;) received.append(buffer, static_cast<std::size_t>(n));
    return received;
  }

 private:
  int fd_;
  bool connected_ = false;
};

struct Answer {
  std::string head;
  std::string body;
};

Answer Request(int port, const std::string& method, const std::string& target) {
  Connection connection(port);
  const std::string raw =
      connection.Exchange(method + " " + target + " HTTP/1.1\r\nHost: localhost\r\nContent-Length: 0\r\n\r\n");
  const std::size_t end = raw.find("\r\n\r\n");
  if (end == std::string::npos) return {raw, {}};
  return {raw.substr(0, end + 2), raw.substr(end + 4)};
}

bool HasLine(const std::string& text, const std::string& line) {
  return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

// The value of the sample `name` (with its labels) in a scrape; -1 when it is not there.
double SampleValue(const std::string& text, const std::string& name) {
  const std::size_t at = ("\n" + text).find("\n" + name + " ");
  return at == std::string::npos ? -1 : std::stod(text.substr(at + name.size() + 1));
}

std::string EnviarRequest(int port) {
  const std::string body =
      "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\" xmlns:tns=\"http://tempuri.org/\">"
      "<soap:Body><tns:ServicoTelemetria___Enviar><tns:ListaTelemetria><tns:TIntegraTelemetria>"
      "<tns:ID_Veiculo>VEI1</tns:ID_Veiculo></tns:TIntegraTelemetria></tns:ListaTelemetria>"
      "</tns:ServicoTelemetria___Enviar></soap:Body></soap:Envelope>";
  return "POST /Integracao_Telemetria HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
         "\r\nContent-Type: text/xml\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

class MetricsEndpointTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_.folder = fs::temp_directory_path() / ("qit-metrics-" + std::to_string(::getpid()) + "-" +
                                                ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(folder_.folder);
    fs::create_directories(folder_.folder);
  }
  void TearDown() override { fs::remove_all(folder_.folder); }

  void WriteIni(const std::string& text) { std::ofstream(folder_.ConfigurationFile()) << text; }

  // Everything the data module's `Log` wrote.
  std::string LogText() const {
    std::string text;
    for (const auto& entry : fs::directory_iterator(folder_.folder / "Logs/Integradores/Telemetria")) {
      std::ifstream in(entry.path(), std::ios::binary);
      text.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return text;
  }

  ProgramFolder folder_;
  boost::asio::io_context loop_;
};

TEST_F(MetricsEndpointTest, OffByDefault) {
  TdmPrincipal dm(folder_, loop_);
  dm.DataModuleCreate();
  EXPECT_FALSE(dm.MetricsServer().Active());
  dm.Stop(std::chrono::steady_clock::now() + 5s);
}

// One company port, a call queued, one answered with a fault and one whose envelope is not
// well-formed (it never reaches the operation, so it is no call of Enviar), a connection left
// open: the
// scrape shows them; health is ok; paths, methods and the bound address are kept to.
TEST_F(MetricsEndpointTest, ServesMetricsAndHealthOnItsAddressOnly) {
  const int metrics_port = FreePort();
  WriteIni("[Portas]\nQuantidade=1\nPorta_1=0\n[Servidor]\nFilaDuravel=F\nMaximoRegistrosNaFila=1\nPortaMetricas=" +
           std::to_string(metrics_port) + "\n");
  TdmPrincipal dm(folder_, loop_);
  dm.DataModuleCreate();
  ASSERT_TRUE(dm.MetricsServer().Active());
  const int company_port = dm.Servidores()[1]->BoundPort();

  // The queue takes one record: the first call is queued, the second answered with a fault.
  EXPECT_NE(Connection(company_port).Exchange(EnviarRequest(company_port)).find("HTTP/1.1 200 "), std::string::npos);
  EXPECT_NE(Connection(company_port).Exchange(EnviarRequest(company_port)).find("HTTP/1.1 500 "), std::string::npos);
  std::string broken = EnviarRequest(company_port);
  broken.replace(broken.find("VEI1"), 4, "VEI1<x>");  // not well-formed: a fault
  EXPECT_NE(Connection(company_port).Exchange(broken).find("HTTP/1.1 500 "), std::string::npos);
  Connection idle(company_port);
  ASSERT_TRUE(idle.Connected());
  for (int i = 0; i < 200 && dm.Servidores()[1]->OpenConnections() == 0; ++i) std::this_thread::sleep_for(10ms);

  const Answer metrics = Request(metrics_port, "GET", "/metrics");
  EXPECT_EQ(metrics.head.substr(0, metrics.head.find("\r\n")), "HTTP/1.1 200 OK");
  EXPECT_NE(metrics.head.find("\r\nContent-Type: text/plain; version=0.0.4\r\n"), std::string::npos) << metrics.head;
  const std::string port = std::to_string(company_port);
  for (const std::string& line :
       {"qit_enviar_calls_total{outcome=\"queued\",port=\"" + port + "\"} 1",
        "qit_enviar_calls_total{outcome=\"fault\",port=\"" + port + "\"} 1", std::string("qit_queue_records 1"),
        std::string("qit_queue_journal_bytes 0"), std::string("qit_http_connections_open 1"),
        std::string("qit_last_database_failure_timestamp_seconds 0"),
        // Both calls that reached Enviar were answered at once.
        std::string("qit_enviar_duration_seconds_count 2"),
        std::string("qit_enviar_duration_seconds_bucket{le=\"1\"} 2")})
    EXPECT_TRUE(HasLine(metrics.body, line)) << line << "\n" << metrics.body;
  // The process metrics come with the service's.
  EXPECT_GT(SampleValue(metrics.body, "process_open_fds"), 0) << metrics.body;
  EXPECT_GT(SampleValue(metrics.body, "process_resident_memory_bytes"), 0) << metrics.body;

  const Answer health = Request(metrics_port, "GET", "/health");
  EXPECT_EQ(health.head.substr(0, health.head.find("\r\n")), "HTTP/1.1 200 OK");
  EXPECT_EQ(health.body, "ok\n");

  struct Case {
    const char* method;
    const char* target;
    const char* status_line;
    bool allow;
  };
  const Case cases[] = {
      {"GET", "/metrics?x=1", "HTTP/1.1 200 OK", false},
      {"GET", "http://localhost/health", "HTTP/1.1 200 OK", false},
      {"GET", "/", "HTTP/1.1 404 Not Found", false},
      {"GET", "/Integracao_Telemetria", "HTTP/1.1 404 Not Found", false},
      {"POST", "/metrics", "HTTP/1.1 405 Method Not Allowed", true},
      {"DELETE", "/health", "HTTP/1.1 405 Method Not Allowed", true},
      {"PUT", "/nada", "HTTP/1.1 404 Not Found", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.target);
    const Answer answer = Request(metrics_port, c.method, c.target);
    EXPECT_EQ(answer.head.substr(0, answer.head.find("\r\n")), c.status_line);
    EXPECT_EQ(answer.head.find("\r\nAllow: GET, HEAD\r\n") != std::string::npos, c.allow) << answer.head;
  }
  const Answer head = Request(metrics_port, "HEAD", "/health");
  EXPECT_EQ(head.head.substr(0, head.head.find("\r\n")), "HTTP/1.1 200 OK");
  EXPECT_EQ(head.body, "");

  // Bound to 127.0.0.1 alone: another loopback address finds nobody there.
  EXPECT_FALSE(Connection(metrics_port, "127.0.0.2").Connected());

  dm.Stop(std::chrono::steady_clock::now() + 5s);
  EXPECT_FALSE(dm.MetricsServer().Active());
  EXPECT_FALSE(Connection(metrics_port).Connected());
}

// An address other machines can reach is taken, with a warning at the default log level.
TEST_F(MetricsEndpointTest, AnAddressReachableFromTheNetworkIsWarnedAbout) {
  const struct Case {
    const char* address;
    bool warned;
  } cases[] = {
      {"127.0.0.1", false}, {"127.0.0.2", false}, {"::1", false}, {"::ffff:127.0.0.1", false},
      {"0.0.0.0", true},    {"::", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.address);
    fs::remove_all(folder_.folder / "Logs");
    const int metrics_port = FreePort();
    WriteIni(std::string("[Servidor]\nFilaDuravel=F\nEnderecoMetricas=") + c.address +
             "\nPortaMetricas=" + std::to_string(metrics_port) + "\n");
    TdmPrincipal dm(folder_, loop_);
    dm.DataModuleCreate();
    EXPECT_TRUE(dm.MetricsServer().Active());
    dm.Stop(std::chrono::steady_clock::now() + 5s);
    const std::string warning = fmt::format(
        "Aviso: métricas e saúde acessíveis pela rede em {}:{} (EnderecoMetricas=127.0.0.1 as deixa só neste "
        "computador)",
        c.address, metrics_port);
    EXPECT_EQ(LogText().find(warning) != std::string::npos, c.warned) << LogText();
  }
}

TEST_F(MetricsEndpointTest, HealthTellsWhyItIsUnhealthy) {
  // No company port at all.
  {
    const int metrics_port = FreePort();
    WriteIni("[Servidor]\nFilaDuravel=F\nPortaMetricas=" + std::to_string(metrics_port) + "\n");
    TdmPrincipal dm(folder_, loop_);
    dm.DataModuleCreate();
    const Answer health = Request(metrics_port, "GET", "/health");
    EXPECT_EQ(health.head.substr(0, health.head.find("\r\n")), "HTTP/1.1 503 Service Unavailable");
    EXPECT_EQ(health.body, "nenhuma porta aberta\n");
  }
  // The ports open, but the database cannot be reached: once the start-up timers have run
  // (the driver cache load and the workers' first passes fail), health says why and the
  // time of the failure is set.
  const int metrics_port = FreePort();
  WriteIni("[Portas]\nQuantidade=1\nPorta_1=0\n[Servidor]\nFilaDuravel=F\nPortaMetricas=" +
           std::to_string(metrics_port) + "\n");
  TdmPrincipal dm(folder_, loop_);
  dm.DataModuleCreate();
  EXPECT_EQ(Request(metrics_port, "GET", "/health").body, "ok\n");  // nothing tried yet
  loop_.run_for(7s);
  const Answer health = Request(metrics_port, "GET", "/health");
  EXPECT_EQ(health.head.substr(0, health.head.find("\r\n")), "HTTP/1.1 503 Service Unavailable");
  EXPECT_EQ(health.body.rfind("banco de dados: ", 0), 0u) << health.body;
  EXPECT_EQ(health.body.find('\n'), health.body.size() - 1) << "one line";
  const std::string metrics = Request(metrics_port, "GET", "/metrics").body;
  EXPECT_FALSE(HasLine(metrics, "qit_last_database_failure_timestamp_seconds 0")) << metrics;
  dm.Stop(std::chrono::steady_clock::now() + 5s);
}

// A real scrape, after calls of both outcomes, is valid for Prometheus's own checker (syntax,
// and its lint of names, types, units and help texts).
TEST_F(MetricsEndpointTest, AScrapePassesPromtool) {
  if (std::system("command -v promtool >/dev/null 2>&1") != 0) {
    if (std::getenv("QIT_REQUIRE_PROMTOOL") != nullptr) FAIL() << "promtool is required here but not installed";
    GTEST_SKIP() << "promtool is not installed (Debian package prometheus; scripts/test --promtool installs it)";
  }
  const int metrics_port = FreePort();
  WriteIni("[Portas]\nQuantidade=1\nPorta_1=0\n[Servidor]\nFilaDuravel=F\nMaximoRegistrosNaFila=1\nPortaMetricas=" +
           std::to_string(metrics_port) + "\n");
  TdmPrincipal dm(folder_, loop_);
  dm.DataModuleCreate();
  const int company_port = dm.Servidores()[1]->BoundPort();
  Connection(company_port).Exchange(EnviarRequest(company_port));
  Connection(company_port).Exchange(EnviarRequest(company_port));
  const Answer scrape = Request(metrics_port, "GET", "/metrics");
  dm.Stop(std::chrono::steady_clock::now() + 5s);
  ASSERT_NE(scrape.body.find("qit_enviar_duration_seconds_count 2\n"), std::string::npos) << scrape.body;

  const fs::path file = folder_.folder / "scrape.txt";
  std::ofstream(file, std::ios::binary) << scrape.body;
  const std::string command = "promtool check metrics < '" + file.string() + "' 2>&1";
  FILE* checker = ::popen(command.c_str(), "r");
  ASSERT_NE(checker, nullptr);
  std::string output;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, checker)) > 0;) output.append(buffer, n);
  const int status = ::pclose(checker);
  EXPECT_EQ(status, 0) << output << "\n" << scrape.body;
  EXPECT_EQ(output, "") << "no lint problem";
}

}  // namespace
}  // namespace qit
