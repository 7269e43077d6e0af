// What the running service tells its service manager: the notification messages on a real
// notification socket, the state line, and the unit that INSTALL writes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "LoopbackSocket.h"
#include "host/ServicePlatform.h"
#include "host/SystemdNotifier.h"
#include "host/unTelemetriaService.h"

namespace qit {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::FreePort;

// A notification socket in a scratch folder, named by NOTIFY_SOCKET while it exists.
class NotifySocket {
 public:
  explicit NotifySocket(const fs::path& folder) : path_(folder / "notify") {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path_.string().copy(address.sun_path, sizeof address.sun_path - 1);
    bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::setenv("NOTIFY_SOCKET", path_.c_str(), 1);
  }
  ~NotifySocket() {
    ::unsetenv("NOTIFY_SOCKET");
    ::close(fd_);
  }
  NotifySocket(const NotifySocket&) = delete;
  NotifySocket& operator=(const NotifySocket&) = delete;

  bool Bound() const { return bound_; }
  // The next message, or nothing when none came within `timeout`.
  std::optional<std::string> Receive(std::chrono::milliseconds timeout = 10s) {
    pollfd ready{fd_, POLLIN, 0};
    if (::poll(&ready, 1, static_cast<int>(timeout.count())) != 1) return std::nullopt;
    char buffer[4096];
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n < 0) return std::nullopt;
    return std::string(buffer, static_cast<std::size_t>(n));
  }

 private:
  fs::path path_;
  int fd_ = -1;
  bool bound_ = false;
};

class ServiceManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("qit-manager-" + std::to_string(::getpid()) + "-" +
                                         ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(root_);
  }
  void TearDown() override {
    ::unsetenv("WATCHDOG_USEC");
    ::unsetenv("WATCHDOG_PID");
    fs::remove_all(root_);
  }

  fs::path root_;
};

TEST_F(ServiceManagerTest, NotifierSendsOneMessagePerCallAndKeepsTheStatusOnOneLine) {
  NotifySocket socket(root_);
  ASSERT_TRUE(socket.Bound());
  SystemdNotifier notifier;

  // 600 bytes of two-byte characters: cut at 512 bytes, on a character boundary.
  std::string long_status;
  for (int i = 0; i < 300; ++i) long_status += "\u00e7";
  const std::string cut_status = long_status.substr(0, 512) + "\u2026";

  struct Case {
    std::function<void()> call;
    std::string expected;
  } cases[] = {
      {[&] { notifier.Ready("Fila: 0 registros"); }, "READY=1\nSTATUS=Fila: 0 registros"},
      {[&] { notifier.Status("Fila: 2 registros"); }, "STATUS=Fila: 2 registros"},
      // A line feed would start an assignment of its own.
      {[&] { notifier.Status("erro\nREADY=1\r\nMAINPID=1"); }, "STATUS=erro READY=1  MAINPID=1"},
      {[&] { notifier.Status(long_status); }, "STATUS=" + cut_status},
      {[&] { notifier.Alive(); }, "WATCHDOG=1"},
      {[&] { notifier.Starting("Recuperando", 90s); }, "STATUS=Recuperando\nEXTEND_TIMEOUT_USEC=90000000"},
      {[&] { notifier.Stopping("Parando", 70s); }, "STOPPING=1\nSTATUS=Parando\nEXTEND_TIMEOUT_USEC=70000000"},
  };
  for (const Case& c : cases) {
    c.call();
    EXPECT_EQ(socket.Receive().value_or("(nothing)"), c.expected);
  }
  EXPECT_EQ(socket.Receive(100ms), std::nullopt);
}

TEST_F(ServiceManagerTest, WatchdogTimeoutComesFromTheEnvironmentForThisProcessOnly) {
  const std::string own_pid = std::to_string(::getpid());
  struct Case {
    const char* usec;
    std::string pid;
    std::chrono::microseconds expected;
  } cases[] = {
      {nullptr, "", 0us},
      {"300000", "", 300ms},
      {"300000", own_pid, 300ms},
      {"300000", std::to_string(::getppid()), 0us},  // meant for another process
      {"abc", "", 0us},
  };
  for (const Case& c : cases) {
    if (c.usec) ::setenv("WATCHDOG_USEC", c.usec, 1);
    else ::unsetenv("WATCHDOG_USEC");
    if (!c.pid.empty()) ::setenv("WATCHDOG_PID", c.pid.c_str(), 1);
    else ::unsetenv("WATCHDOG_PID");
    EXPECT_EQ(SystemdNotifier().WatchdogTimeout(), c.expected) << (c.usec ? c.usec : "unset") << " pid " << c.pid;
  }
}

std::chrono::system_clock::time_point LocalTime(int year, int month, int day, int hour, int minute, int second) {
  std::tm local{};
  local.tm_year = year - 1900;
  local.tm_mon = month - 1;
  local.tm_mday = day;
  local.tm_hour = hour;
  local.tm_min = minute;
  local.tm_sec = second;
  local.tm_isdst = -1;
  return std::chrono::system_clock::from_time_t(std::mktime(&local));
}

TEST(ServiceStatusTextTest, QueueDepthAndTheLastPass) {
  using Pass = TinserirIntegracao::PassOutcome;
  const auto now = LocalTime(2026, 12, 10, 10, 30, 0);
  struct Case {
    std::size_t waiting;
    std::optional<Pass> pass;
    std::string expected;
  } cases[] = {
      {0, std::nullopt, "Fila: 0 registros; nenhuma passagem ainda"},
      {1, Pass{LocalTime(2026, 12, 10, 10, 22, 33), true, ""}, "Fila: 1 registro; última passagem: ok às 10:22:33"},
      {12, Pass{LocalTime(2026, 12, 10, 0, 0, 5), false, "Unable to complete network request\nto host \"db\"."},
       "Fila: 12 registros; última passagem: falhou às 00:00:05 (Unable to complete network request to host "
       "\"db\".)"},
      {500000, Pass{LocalTime(2026, 12, 9, 23, 59, 59), false, ""},
       "Fila: 500000 registros; última passagem: falhou em 09/12/26 às 23:59:59"},
      {3, Pass{LocalTime(2025, 12, 10, 10, 0, 0), true, ""}, "Fila: 3 registros; última passagem: ok em 10/12/25 às 10:00:00"},
  };
  for (const Case& c : cases) EXPECT_EQ(ServiceStatusText(c.waiting, c.pass, now), c.expected);
}

TEST(ServiceUnitTest, UnitIsOfTypeNotifyAndItsStopTimeoutCoversTheOrderlyStop) {
  Settings settings;
  settings.TempoEsvaziarFila_Segundos = 10;
  EXPECT_EQ(TQueltoIntegradorTelemetria::StopTime(settings), 70s);
  settings.TempoEsvaziarFila_Segundos = 600;
  EXPECT_EQ(TQueltoIntegradorTelemetria::StopTime(settings), 660s);

  const ServiceDefinition service{"QueltoIntegradorTelemetria", "Quelto - Integrador Telemetria",
                                  "/opt/quelto/bin/Quelto Integrador", {"--home", "/srv/quelto"}, 70s};
  EXPECT_EQ(LinuxServicePlatform::UnitText(service),
            "[Unit]\n"
            "Description=Quelto - Integrador Telemetria\n"
            "After=network-online.target\n"
            "Wants=network-online.target\n"
            "\n"
            "[Service]\n"
            "Type=notify\n"
            "ExecStart=\"/opt/quelto/bin/Quelto Integrador\" --home /srv/quelto\n"
            "KillSignal=SIGTERM\n"
            "TimeoutStopSec=70\n"
            "LimitNOFILE=65536\n"
            "Restart=on-failure\n"
            "RestartSec=5\n"
            "\n"
            "[Install]\n"
            "WantedBy=multi-user.target\n");
}

// Sends one Enviar call of `records` records and returns the answer's status line.
std::string Enviar(int port, int records) {
  std::string items;
  for (int i = 0; i < records; ++i)
    items += "<tns:TIntegraTelemetria><tns:ID_Veiculo>VEI" + std::to_string(i) +
             "</tns:ID_Veiculo></tns:TIntegraTelemetria>";
  const std::string body =
      "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\" xmlns:tns=\"http://tempuri.org/\">"
      "<soap:Body><tns:ServicoTelemetria___Enviar><tns:ListaTelemetria>" +
      items + "</tns:ListaTelemetria></tns:ServicoTelemetria___Enviar></soap:Body></soap:Envelope>";
  const std::string request = "POST /Integracao_Telemetria HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                              "\r\nContent-Type: text/xml\r\nContent-Length: " + std::to_string(body.size()) +
                              "\r\n\r\n" + body;
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string answer;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
    char buffer[4096];
    for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) answer.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return answer.substr(0, answer.find("\r\n"));
}

// The program started on `home` in a child process, its standard error written to `errors`
// when one is given, and its soft limit of open files lowered to `open_files` when not 0;
// its process id, or -1.
pid_t StartProgram(const fs::path& home, const fs::path& errors = {}, rlim_t open_files = 0) {
  const pid_t child = fork();
  if (child == 0) {
    if (open_files != 0) {
      rlimit limit{};
      if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(125);
      limit.rlim_cur = open_files;
      if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(125);
    }
    if (!errors.empty()) {
      const int fd = ::open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd < 0 || ::dup2(fd, STDERR_FILENO) < 0) _exit(126);
    }
    execl(QIT_PROGRAM, QIT_PROGRAM, "--home", home.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  return child;
}

// The exit status of `child` once it ended, or nothing when it still ran after `timeout`
// (it is killed then).
std::optional<int> ExitStatus(pid_t child, std::chrono::seconds timeout) {
  const auto give_up = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  while (::waitpid(child, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > give_up) {
      ::kill(child, SIGKILL);
      ::waitpid(child, &status, 0);
      return std::nullopt;
    }
    std::this_thread::sleep_for(20ms);
  }
  if (!WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

std::string ReadFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A start-up that fails ends the process with a failure status and without READY=1, so that
// the service manager starts it again; the error is in the log, on standard error and in the
// state line. An install on the same home still installs: the start-up there fails when the
// service runs.
TEST_F(ServiceManagerTest, AFailedStartUpEndsTheProcessWithoutReady) {
  boost::asio::io_context io;
  boost::asio::ip::tcp::acceptor taken(io, {boost::asio::ip::address_v4::loopback(), 0});
  const std::string busy = std::to_string(taken.local_endpoint().port());
  const struct Case {
    const char* name;
    std::string configuration;
    bool queue_folder_is_a_file;
    std::string error_class;
    std::string message_start;  // the error's message begins so, in the log and on standard error
  } cases[] = {
      {"busy port", "[Portas]\nQuantidade=3\nPorta_1=0\nPorta_2=" + busy + "\n", false, "ESocketError",
       "Could not bind socket. Address and port are already in use."},
      {"queue folder unusable", "[Portas]\nQuantidade=1\nPorta_1=0\n", true, "EListaDeEnvio", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path home = root_ / c.name;
    fs::create_directories(home);
    std::ofstream(home / "QueltoIntegradorTelemetria.dat") << c.configuration;
    if (c.queue_folder_is_a_file) std::ofstream(home / "Fila") << "not a folder";
    NotifySocket socket(root_);
    ASSERT_TRUE(socket.Bound());

    const pid_t child = StartProgram(home, root_ / "stderr");
    ASSERT_GE(child, 0);
    EXPECT_EQ(ExitStatus(child, 30s), std::optional<int>(1));
    std::string last;
    while (const std::optional<std::string> message = socket.Receive(100ms)) {
      EXPECT_EQ(message->find("READY=1"), std::string::npos) << *message;
      last = *message;
    }
    EXPECT_EQ(last.rfind("STATUS=Início interrompido (" + c.message_start, 0), 0u) << last;
    fs::remove(root_ / "notify");

    std::string log;
    for (const auto& entry : fs::directory_iterator(home / "Logs/Integradores/Telemetria"))
      if (entry.path().filename().string().rfind("log_enviar", 0) == 0) log += ReadFile(entry.path());
    EXPECT_NE(log.find("Erro em (DataModuleCreate) = (" + c.error_class + ") : " + c.message_start), std::string::npos)
        << log;
    const std::string errors = ReadFile(root_ / "stderr");
    EXPECT_EQ(errors.rfind(c.message_start, 0), 0u) << errors;
    EXPECT_GT(errors.size(), c.message_start.size()) << errors;

    // The install takes place all the same; the start-up's error is on standard error.
    const std::string install = std::string(QIT_PROGRAM) + " --home '" + home.string() + "' --unit-dir '" +
                                root_.string() + "' /INSTALL /SILENT 2>'" + (root_ / "stderr").string() + "'";
    const int installed = std::system(install.c_str());
    EXPECT_TRUE(WIFEXITED(installed) && WEXITSTATUS(installed) == 0);
    EXPECT_TRUE(fs::exists(root_ / "QueltoIntegradorTelemetria.service"));
    EXPECT_NE(ReadFile(root_ / "stderr"), "");
    fs::remove_all(root_ / "multi-user.target.wants");
    fs::remove(root_ / "QueltoIntegradorTelemetria.service");
  }
}

// The real program under a notification socket with a watchdog: READY=1 once its company
// port takes calls, keep-alives from its main loop, a state line that follows the queue and
// the insert worker's failing pass (there is no database), and STOPPING=1 last, at SIGTERM.
TEST_F(ServiceManagerTest, ProgramSaysReadyStatusKeepAlivesAndStoppingInOrder) {
  const int port = FreePort();
  fs::create_directories(root_ / "home");
  std::ofstream(root_ / "home" / "QueltoIntegradorTelemetria.dat")
      << "[Portas]\nQuantidade=1\nPorta_1=" << port << "\nCodigoEmpresa_1=1\n[Servidor]\nTempoEsvaziarFila_Segundos=2\n";
  NotifySocket socket(root_);
  ASSERT_TRUE(socket.Bound());
  ::setenv("WATCHDOG_USEC", "400000", 1);  // WATCHDOG_PID unset: meant for whoever reads it

  const pid_t child = StartProgram(root_ / "home");
  ASSERT_GE(child, 0);
  ::unsetenv("WATCHDOG_USEC");

  // READY=1 comes first, and by then the company port answers.
  EXPECT_EQ(socket.Receive(30s).value_or("(nothing)"), "READY=1\nSTATUS=Fila: 0 registros; nenhuma passagem ainda");
  EXPECT_EQ(Enviar(port, 3), "HTTP/1.1 200 OK");

  // Keep-alives every 200 ms meanwhile; the state line shows the three records and, once
  // the worker started (5 s after the start) and its pass failed, that pass.
  int keep_alives = 0;
  std::string status;
  const auto give_up = std::chrono::steady_clock::now() + 60s;
  while (status.find("falhou") == std::string::npos && std::chrono::steady_clock::now() < give_up) {
    const std::optional<std::string> message = socket.Receive(1s);
    if (!message) continue;
    if (*message == "WATCHDOG=1") ++keep_alives;
    else status = *message;
  }
  EXPECT_GE(keep_alives, 10);
  EXPECT_EQ(status.rfind("STATUS=Fila: 3 registros; última passagem: falhou às ", 0), 0u) << status;

  kill(child, SIGTERM);
  std::string last;
  while (const std::optional<std::string> message = socket.Receive(60s)) {
    last = *message;
    if (last.rfind("STOPPING=1", 0) == 0) break;
  }
  EXPECT_EQ(last.rfind("STOPPING=1\nSTATUS=Parando; Fila: 3 registros; última passagem: falhou", 0), 0u) << last;
  EXPECT_NE(last.find("\nEXTEND_TIMEOUT_USEC=62000000"), std::string::npos) << last;  // 30 + 2 + 30 s

  int exit_status = 0;
  ASSERT_EQ(waitpid(child, &exit_status, 0), child);
  EXPECT_TRUE(WIFEXITED(exit_status));
  EXPECT_EQ(WEXITSTATUS(exit_status), 0);
  // Nothing after STOPPING=1.
  EXPECT_EQ(socket.Receive(100ms), std::nullopt);

  // Started again, it recovers the three records of its queue before it is ready, and moves
  // the start timeout on for each segment it reads.
  const pid_t again = StartProgram(root_ / "home");
  ASSERT_GE(again, 0);
  EXPECT_EQ(socket.Receive(30s).value_or("(nothing)"),
            "STATUS=Recuperando a fila de envio: segmento 1 de 1\nEXTEND_TIMEOUT_USEC=90000000");
  EXPECT_EQ(socket.Receive(30s).value_or("(nothing)"), "READY=1\nSTATUS=Fila: 3 registros; nenhuma passagem ainda");
  kill(again, SIGKILL);
  ASSERT_EQ(waitpid(again, &exit_status, 0), again);
}

// `count` distinct loopback ports that were free a moment ago.
std::vector<int> FreePorts(std::size_t count) {
  boost::asio::io_context io;
  std::vector<boost::asio::ip::tcp::acceptor> held;
  std::vector<int> ports;
  while (ports.size() < count) {
    held.emplace_back(io, boost::asio::ip::tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0));
    ports.push_back(held.back().local_endpoint().port());
  }
  return ports;
}

// More company ports than the soft limit of open files the program was started with: it
// raises that limit to the hard one, and every port opens.
TEST_F(ServiceManagerTest, MoreCompanyPortsThanTheSoftLimitOfOpenFilesAllOpen) {
  constexpr rlim_t kSoftLimit = 256;
  constexpr std::size_t kPorts = 300;
  rlimit limit{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
  if (limit.rlim_max < 2 * kSoftLimit) GTEST_SKIP() << "the hard limit of open files is " << limit.rlim_max;
  const std::vector<int> ports = FreePorts(kPorts);
  std::string configuration = "[Servidor]\nFilaDuravel=F\n[Portas]\nQuantidade=" + std::to_string(kPorts) + "\n";
  for (std::size_t n = 1; n <= kPorts; ++n)
    configuration += "Porta_" + std::to_string(n) + "=" + std::to_string(ports[n - 1]) + "\n";
  fs::create_directories(root_ / "home");
  std::ofstream(root_ / "home" / "QueltoIntegradorTelemetria.dat") << configuration;
  NotifySocket socket(root_);
  ASSERT_TRUE(socket.Bound());

  const pid_t child = StartProgram(root_ / "home", {}, kSoftLimit);
  ASSERT_GE(child, 0);
  const std::string ready = socket.Receive(60s).value_or("(nothing)");
  EXPECT_EQ(ready.rfind("READY=1\n", 0), 0u) << ready;
  std::size_t open = 0;
  for (const int port : ports) {
    if (const int fd = testing::ConnectTo(port); fd >= 0) {
      ++open;
      ::close(fd);
    }
  }
  EXPECT_EQ(open, kPorts);
  ::kill(child, SIGTERM);
  EXPECT_EQ(ExitStatus(child, 60s), std::optional<int>(0));
}

}  // namespace
}  // namespace qit
