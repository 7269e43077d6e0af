#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "HttpTestClient.h"
#include "common/Errors.h"

namespace qit {
namespace {

using namespace std::chrono_literals;
using test::Exchange;
using test::ParseResponse;
using test::RawConnection;
using test::RawResponse;

// A message handler that keeps every request with a body and completes it later, on a
// thread of its own: after a delay by itself, or when the test says so. "drop" is let go
// without a completion.
class DeferredHandler : public test::TestMessageHandler {
 public:
  explicit DeferredHandler(std::optional<std::chrono::milliseconds> delay = std::nullopt) : delay_(delay) {}
  ~DeferredHandler() override { threads_.clear(); }

  void ProcessMessage(IHTTPTransport& transport, std::string_view request, std::string& response,
                      MessageCompletion done) override {
    if (request.empty()) return TestMessageHandler::ProcessMessage(transport, request, response, std::move(done));
    if (request == "drop") return;
    std::lock_guard lock(mutex_);
    Pending pending{&transport, request, &response, std::move(done)};
    if (delay_)
      threads_.emplace_back([pending = std::move(pending), delay = *delay_]() mutable {
        std::this_thread::sleep_for(delay);
        Answer(pending, true);
      });
    else
      pending_.push_back(std::move(pending));
    arrived_.notify_all();
  }

  // Waits, within a generous limit, until count requests are kept.
  bool WaitForRequests(std::size_t count) {
    std::unique_lock lock(mutex_);
    return arrived_.wait_for(lock, 10s, [&] { return pending_.size() >= count; });
  }

  // Completes every kept request from another thread.
  void CompleteAll(bool ok) {
    std::vector<Pending> pending;
    {
      std::lock_guard lock(mutex_);
      pending.swap(pending_);
    }
    std::thread([&] {
      for (Pending& p : pending) Answer(p, ok);
    }).join();
  }

 protected:
  bool ProcessBody(IHTTPTransport&, std::string_view, std::string&) override { return true; }

 private:
  struct Pending {
    IHTTPTransport* transport;
    std::string_view request;
    std::string* response;
    MessageCompletion done;
  };

  static void Answer(Pending& pending, bool ok) {
    pending.transport->SetResponseContentType("text/xml");
    *pending.response = "later:" + std::string(pending.request);
    pending.done(ok);
    pending.done(!ok);  // a second call changes nothing
  }

  const std::optional<std::chrono::milliseconds> delay_;
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<Pending> pending_;
  std::vector<std::jthread> threads_;
};

std::string Post(std::string_view body) {
  return "POST /Integracao_Telemetria HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
         std::string(body);
}

// A server of its own pool over one handler; limits with a memory budget, whose use shows
// whether a connection is still there.
struct DeferredServer {
  explicit DeferredServer(std::shared_ptr<IMessageHandler> handler)
      : budget(std::make_shared<RequestMemoryBudget>(0)),
        pool(std::make_unique<HttpIoPool>(2)),
        server(std::make_unique<TROHTTPServer>(*pool, test::ServiceDispatchers(std::move(handler)))) {
    HttpServerLimits limits;
    limits.request_memory = budget;
    server->SetLimits(limits);
    server->SetActive(true);
    port = server->BoundPort();
  }

  bool WaitForConnectionsToEnd() const {
    const auto give_up = std::chrono::steady_clock::now() + 10s;
    while (budget->InUse() != 0) {
      if (std::chrono::steady_clock::now() > give_up) return false;
      std::this_thread::sleep_for(5ms);
    }
    return true;
  }

  std::shared_ptr<RequestMemoryBudget> budget;
  std::unique_ptr<HttpIoPool> pool;
  std::unique_ptr<TROHTTPServer> server;
  int port = 0;
};

// Bodies longer than the string's own buffer, so that each connection holds some budget.
const std::string kBodies[] = {std::string(100, 'a'), std::string(200, 'b'), std::string(300, 'c')};

TEST(DeferredAnswerTest, AnswersCompletedOnAnotherThreadReachTheirClients) {
  DeferredServer server(std::make_shared<DeferredHandler>(50ms));
  std::vector<std::unique_ptr<RawConnection>> connections;
  for (const std::string& body : kBodies) {
    connections.push_back(std::make_unique<RawConnection>(server.port));
    connections.back()->Send(Post(body));
  }
  for (std::size_t i = 0; i < std::size(kBodies); ++i) {
    const RawResponse response = ParseResponse(connections[i]->ReadAll());
    EXPECT_FALSE(connections[i]->timed_out);
    EXPECT_EQ(response.status_line, "HTTP/1.1 200 OK");
    EXPECT_EQ(response.Header("Content-Type"), "text/xml");
    EXPECT_EQ(response.body, "later:" + kBodies[i]);
  }
  EXPECT_TRUE(server.WaitForConnectionsToEnd());
}

TEST(DeferredAnswerTest, AHandlerThatLetsTheRequestGoWithoutCompletingIsAFailure) {
  DeferredServer server(std::make_shared<DeferredHandler>());
  const RawResponse response = ParseResponse(Exchange(server.port, Post("drop")));
  EXPECT_EQ(response.status_line, "HTTP/1.1 500 Internal Server Error");
  EXPECT_EQ(response.Header("Content-Type"), "text/html");
  EXPECT_EQ(response.body, "The message handler let the request go without completing it");
}

TEST(DeferredAnswerTest, AStopThatTimesOutLeavesTheConnectionUntilItsHandlerCompletes) {
  const auto handler = std::make_shared<DeferredHandler>();
  DeferredServer server(handler);
  server.server->SetTerminateWaitTime(100ms);
  RawConnection waiting(server.port);
  waiting.Send(Post(kBodies[0]));
  ASSERT_TRUE(handler->WaitForRequests(1));

  try {
    server.server->SetActive(false);
    FAIL() << "the stop did not time out";
  } catch (const Exception& error) {
    EXPECT_STREQ(error.what(), "Terminate Thread Timeout");
  }
  EXPECT_FALSE(server.server->Active());
  // The client is disconnected without an answer; the connection itself waits for its
  // handler, which still uses the request.
  EXPECT_EQ(waiting.ReadAll(), "");
  EXPECT_FALSE(waiting.timed_out);
  EXPECT_NE(server.budget->InUse(), 0u);

  // The late answer goes nowhere, and the connection ends with it.
  handler->CompleteAll(true);
  EXPECT_TRUE(server.WaitForConnectionsToEnd());

  // The port was released: the listener comes back on it.
  server.server->SetPort(server.port);
  server.server->SetActive(true);
  EXPECT_EQ(ParseResponse(Exchange(server.port, "GET /rodl HTTP/1.1\r\n\r\n")).status_line, "HTTP/1.1 200 OK");
}

TEST(DeferredAnswerTest, PoolAndListenerGoBeforeTheHandlerInAnyOrderWithoutHarm) {
  struct Case {
    const char* name;
    bool stop_listener_first;  // else the pool stops under the active listener
    bool complete_late;        // else the handler goes without completing
  };
  const Case cases[] = {
      {"stop timed out, completed after the pool is gone", true, true},
      {"stop timed out, never completed", true, false},
      {"pool stopped under the active listener", false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto handler = std::make_shared<DeferredHandler>();
    {
      DeferredServer server(handler);
      RawConnection waiting(server.port);
      waiting.Send(Post(kBodies[0]));
      RawConnection reading(server.port);  // a connection in the middle of its request
      reading.Send("POST /Integracao_Telemetria HTTP/1.1\r\nContent-Length: 10\r\n\r\nabc");
      ASSERT_TRUE(handler->WaitForRequests(1));

      if (c.stop_listener_first) {
        EXPECT_FALSE(server.server->Deactivate(std::chrono::steady_clock::now() + 100ms));
        server.server.reset();
        server.pool->Stop();
      } else {
        server.pool->Stop();
        EXPECT_TRUE(server.server->Deactivate(std::chrono::steady_clock::now() + 100ms));
        server.server.reset();
      }
      server.pool.reset();
      EXPECT_EQ(server.budget->InUse(), 0u);  // every connection is gone with the pool
      EXPECT_EQ(waiting.ReadAll(), "");
      EXPECT_EQ(reading.ReadAll(), "");
    }
    if (c.complete_late) handler->CompleteAll(true);
    handler.reset();  // the handler's owner goes last, with whatever completions it kept
  }
}

}  // namespace
}  // namespace qit
