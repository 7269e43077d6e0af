// The real program started as a process: the switches and the foreground run.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

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

struct Outcome {
  int exit_code;
  std::string out, err;
};

class ProgramTest : public testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("qit-program-" + std::to_string(::getpid()) + "-" +
                                         testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(home_ = root_ / "home");
    fs::create_directories(units_ = root_ / "units");
  }
  void TearDown() override { fs::remove_all(root_); }

  Outcome Run(const std::string& switches) {
    const std::string command = std::string(QIT_PROGRAM) + " --home " + home_.string() + " --unit-dir " +
                                units_.string() + " " + switches + " >" + (root_ / "out").string() + " 2>" +
                                (root_ / "err").string();
    const int status = std::system(command.c_str());
    return {WEXITSTATUS(status), ReadFile(root_ / "out"), ReadFile(root_ / "err")};
  }

  fs::path Unit() const { return units_ / "QueltoIntegradorTelemetria.service"; }
  fs::path WantsLink() const { return units_ / "multi-user.target.wants" / "QueltoIntegradorTelemetria.service"; }

  fs::path root_, home_, units_;
};

TEST_F(ProgramTest, InstallAndUninstallWriteAndRemoveTheEnabledUnit) {
  const Outcome installed = Run("/INSTALL");
  EXPECT_EQ(installed.exit_code, 0);
  EXPECT_EQ(installed.out, "Service installed successfully\n");
  EXPECT_EQ(installed.err, "");
  const std::string unit = ReadFile(Unit());
  EXPECT_NE(unit.find("Description=Quelto - Integrador Telemetria\n"), std::string::npos);
  EXPECT_NE(unit.find(std::string("ExecStart=") + QIT_PROGRAM + " --home " + home_.string() + "\n"),
            std::string::npos);
  EXPECT_NE(unit.find("WantedBy=multi-user.target\n"), std::string::npos);
  EXPECT_EQ(fs::read_symlink(WantsLink()), Unit());
  // The data module was created in this run too: the configuration file was normalised.
  EXPECT_TRUE(fs::exists(home_ / "QueltoIntegradorTelemetria.dat"));

  const Outcome again = Run("-install");
  EXPECT_EQ(again.exit_code, 1);
  EXPECT_EQ(again.out, "");
  EXPECT_EQ(again.err,
            "Service \"Quelto - Integrador Telemetria\" failed to install with error: "
            "\"The specified service already exists.\"\n");

  const Outcome removed = Run("-uninstall");
  EXPECT_EQ(removed.exit_code, 0);
  EXPECT_EQ(removed.out, "Service uninstalled successfully\n");
  EXPECT_FALSE(fs::exists(fs::symlink_status(WantsLink())));
  EXPECT_FALSE(fs::exists(Unit()));

  const Outcome missing = Run("/Uninstall /Silent");
  EXPECT_EQ(missing.exit_code, 1);
  EXPECT_EQ(missing.err,
            "Service \"Quelto - Integrador Telemetria\" failed to uninstall with error: "
            "\"The specified service does not exist as an installed service.\"\n");
}

// The unit waits for the service's READY=1, and its stop timeout covers the orderly stop
// with the queue's drain time this installation is configured with.
TEST_F(ProgramTest, InstalledUnitIsOfTypeNotifyWithAStopTimeoutFromTheConfiguration) {
  std::ofstream(home_ / "QueltoIntegradorTelemetria.dat") << "[Servidor]\nTempoEsvaziarFila_Segundos=300\n";
  ASSERT_EQ(Run("/INSTALL /SILENT").exit_code, 0);
  const std::string unit = ReadFile(Unit());
  EXPECT_NE(unit.find("\nType=notify\n"), std::string::npos) << unit;
  EXPECT_NE(unit.find("\nTimeoutStopSec=360\n"), std::string::npos) << unit;  // 30 + 300 + 30 s
}

// The configuration and connection files take the executable's name with its extension
// replaced, beside the executable when no --home is given.
TEST_F(ProgramTest, FilesTakeTheExecutablesNameWithAnotherExtension) {
  const fs::path bin = root_ / "bin";
  fs::create_directories(bin);
  const fs::path program = bin / "Quelto.bin";
  fs::copy_file(QIT_PROGRAM, program);
  // A connection file that cannot be loaded stops the start before the configuration file
  // is written: its absence proves that "Quelto.con" was the file read.
  std::ofstream(bin / "Quelto.con") << "<Connections>";
  const std::string command = program.string() + " --unit-dir " + units_.string() + " /uninstall /silent >" +
                              (root_ / "out").string() + " 2>&1";
  EXPECT_NE(std::system(command.c_str()), -1);
  EXPECT_FALSE(fs::exists(bin / "Quelto.dat"));

  fs::remove(bin / "Quelto.con");
  EXPECT_NE(std::system(command.c_str()), -1);
  EXPECT_TRUE(fs::exists(bin / "Quelto.dat"));
  EXPECT_FALSE(fs::exists(bin / "Quelto.bin.dat"));
  EXPECT_TRUE(fs::exists(bin / "Logs/Integradores/Telemetria"));
}

TEST_F(ProgramTest, SilentHidesOnlySuccessAndInstallWinsOverUninstall) {
  const Outcome installed = Run("/uninstall /install -SILENT");
  EXPECT_EQ(installed.exit_code, 0);
  EXPECT_EQ(installed.out + installed.err, "");
  EXPECT_TRUE(fs::exists(Unit()));

  const Outcome removed = Run("/silent /UNINSTALL");
  EXPECT_EQ(removed.exit_code, 0);
  EXPECT_EQ(removed.out + removed.err, "");
  EXPECT_FALSE(fs::exists(Unit()));
}

TEST_F(ProgramTest, ForegroundRunWritesTheLogHeaderAndStopsOnSigterm) {
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    execl(QIT_PROGRAM, QIT_PROGRAM, "--home", home_.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  const fs::path logs = home_ / "Logs/Integradores/Telemetria";
  bool header = false;
  for (int i = 0; i < 200 && !header; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(logs, error))
      header = header || ReadFile(entry.path()).find("cio do log (3.3.0.0)") != std::string::npos;
  }
  EXPECT_TRUE(header);
  kill(child, SIGTERM);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// SIGTERM while 200 connections are open, half of them in the middle of a request: the
// process stops in order, well within its stop time, and exits normally.
TEST_F(ProgramTest, SigtermWithTwoHundredOpenConnectionsStopsInOrder) {
  const int port = FreePort();
  std::ofstream(home_ / "QueltoIntegradorTelemetria.dat")
      << "[Portas]\nQuantidade=1\nPorta_1=" << port << "\nCodigoEmpresa_1=1\n";
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    execl(QIT_PROGRAM, QIT_PROGRAM, "--home", home_.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  std::vector<int> connections;
  for (int i = 0; i < 400 && connections.empty(); ++i) {
    if (const int fd = ConnectTo(port); fd >= 0) connections.push_back(fd);
    else std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  ASSERT_FALSE(connections.empty()) << "the company port never opened";
  while (connections.size() < 200) connections.push_back(ConnectTo(port));
  const std::string partial = "POST /Integracao_Telemetria HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 100\r\n\r\n<";
  for (std::size_t i = 0; i < connections.size(); i += 2)
    ::send(connections[i], partial.data(), partial.size(), MSG_NOSIGNAL);

  const auto signalled = std::chrono::steady_clock::now();
  kill(child, SIGTERM);
  int status = 0;
  pid_t ended = 0;
  while ((ended = waitpid(child, &status, WNOHANG)) == 0 &&
         std::chrono::steady_clock::now() - signalled < std::chrono::seconds(60))
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (ended == 0) kill(child, SIGKILL);
  ASSERT_EQ(ended, child) << "the process did not stop";
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  for (const int fd : connections) {
    char byte;
    EXPECT_LE(::recv(fd, &byte, 1, 0), 0);  // every connection was closed by the server
    ::close(fd);
  }
}

}  // namespace
