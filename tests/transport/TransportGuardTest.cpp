#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <boost/asio/post.hpp>
#include <chrono>
#include <string>
#include <vector>

#include "FailingAllocation.h"
#include "HttpTestClient.h"
#include "ReportLog.h"
#include "common/Errors.h"

namespace qit {
namespace {

using test::Exchange;
using test::Line;
using test::ParseResponse;
using test::RawConnection;
using test::RawResponse;
using test::ReportLog;
using test::TestServer;

TEST(TransportGuardTest, AnErrorEscapingAHandlerIsReportedAndEveryLoopGoesOn) {
  TestServer server;
  ReportLog log;
  server.Pool().SetErrorSink(log.Sink());
  const auto raise = [] { throw Exception("falhou no laço", "EROException"); };
  boost::asio::post(server.Pool().AcceptContext(), raise);
  for (int i = 0; i < 2; ++i) boost::asio::post(server.Pool().NextContext(), raise);  // both serving loops

  ASSERT_TRUE(log.WaitFor(1));
  for (int i = 0; i < 4; ++i)
    EXPECT_EQ(ParseResponse(Exchange(server.Port(), "GET /rodl HTTP/1.1\r\n\r\n")).status_line, "HTTP/1.1 200 OK");
  const std::vector<Line> lines = log.Lines();
  ASSERT_EQ(lines.size(), 1u);  // the same place, within the minute
  EXPECT_EQ(lines[0].location, "HttpIoPool.Run");
  EXPECT_EQ(lines[0].class_name, "EROException");
  EXPECT_EQ(lines[0].message, "falhou no laço");
}

TEST(TransportGuardTest, ARequestThatRunsOutOfMemoryIsAnswered500AndReported) {
  TestServer server;
  ReportLog log;
  server.Pool().SetErrorSink(log.Sink());
  const std::string request = "POST /Integracao_Telemetria HTTP/1.1\r\nContent-Length: 4194304\r\n\r\n" +
                              std::string(3 << 19, 'x');
  std::string answer;
  {
    // The body's buffer cannot grow to a mebibyte.
    testing::FailingLargeAllocations no_memory(1 << 20);
    RawConnection connection(server.Port());
    connection.Send(request);
    connection.ShutdownWrite();
    answer = connection.ReadAll();
    EXPECT_FALSE(connection.timed_out);
  }
  const RawResponse response = ParseResponse(answer);
  EXPECT_EQ(response.status_line, "HTTP/1.1 500 Internal Server Error");
  EXPECT_EQ(response.Header("Content-Type"), "text/html");
  EXPECT_EQ(response.body, std::bad_alloc().what());
  const std::vector<Line> lines = log.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].location, "HttpSession.Request");
  EXPECT_EQ(lines[0].message, std::bad_alloc().what());

  // The listener serves on.
  EXPECT_EQ(ParseResponse(Exchange(server.Port(), "POST /Integracao_Telemetria HTTP/1.1\r\nContent-Length: 2\r\n\r\nok"))
                .body,
            "echo:ok");
}

TEST(TransportGuardTest, FailedRequestsGoToTheListenersSinkOnceAMinuteAndOrdinaryEndsNotAtAll) {
  TestServer server;
  const int port = server.Port();
  ReportLog pool_log, listener_log;
  server.Pool().SetErrorSink(pool_log.Sink());
  server.Server().SetActive(false);
  server.Server().SetErrorSink(listener_log.Sink());
  server.Server().SetPort(port);
  server.Server().SetActive(true);

  const std::string raise = "POST /Integracao_Telemetria HTTP/1.1\r\nContent-Length: 5\r\n\r\nraise";
  for (int i = 0; i < 2; ++i) {
    const RawResponse response = ParseResponse(Exchange(port, raise));
    EXPECT_EQ(response.status_line, "HTTP/1.1 500 Internal Server Error");
    EXPECT_EQ(response.body, "falhou <aqui>");
  }
  {
    RawConnection gone(port);  // a client that leaves in the middle of its request
    gone.Send("POST /Integracao_Telemetria HTTP/1.1\r\nContent-Length: 10\r\n\r\nabc");
  }
  EXPECT_EQ(ParseResponse(Exchange(port, "GET /rodl HTTP/1.1\r\n\r\n")).status_line, "HTTP/1.1 200 OK");

  const std::vector<Line> lines = listener_log.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].location, "HttpSession.Request");
  EXPECT_EQ(lines[0].class_name, "EROException");
  EXPECT_EQ(lines[0].message, "falhou <aqui>");
  EXPECT_TRUE(pool_log.Lines().empty());
}

// Lowers the process's descriptor limit so that exactly one more descriptor can be opened;
// puts it back when it goes.
class OneDescriptorLeft {
 public:
  OneDescriptorLeft() {
    getrlimit(RLIMIT_NOFILE, &original_);
    const int lowest_free = ::open("/dev/null", O_RDONLY);
    ::close(lowest_free);
    rlimit lowered = original_;
    lowered.rlim_cur = static_cast<rlim_t>(lowest_free) + 1;
    setrlimit(RLIMIT_NOFILE, &lowered);
  }
  ~OneDescriptorLeft() { Restore(); }
  void Restore() { setrlimit(RLIMIT_NOFILE, &original_); }

 private:
  rlimit original_{};
};

TEST(TransportGuardTest, AFailedAcceptIsReportedAndTriedAgain) {
#if defined(__SANITIZE_ADDRESS__)
  // The undefined-behaviour checks of that build test memory through a pipe of their own;
  // with no descriptor left they report every virtual call as invalid.
  GTEST_SKIP() << "needs the process's last file descriptor, which the sanitizers' runtime uses";
#endif
  TestServer server;
  ReportLog log;
  server.Pool().SetErrorSink(log.Sink());
  OneDescriptorLeft limit;
  RawConnection connection(server.Port());  // takes the last descriptor: the server has none to accept with
  connection.Send("GET /rodl HTTP/1.1\r\n\r\n");
  connection.ShutdownWrite();
  ASSERT_TRUE(log.WaitFor(1));
  limit.Restore();

  EXPECT_EQ(ParseResponse(connection.ReadAll()).status_line, "HTTP/1.1 200 OK");
  const std::vector<Line> lines = log.Lines();
  ASSERT_GE(lines.size(), 1u);
  EXPECT_EQ(lines[0].location, "HttpListener.Accept");
  EXPECT_EQ(lines[0].class_name, "ESocketError");
  EXPECT_EQ(lines[0].message, "Too many open files");
}

}  // namespace
}  // namespace qit
