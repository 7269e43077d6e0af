#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "HttpTestClient.h"
#include "transport/HttpRequestParser.h"
#include "transport/RequestMemoryBudget.h"

namespace qit {
namespace {

using test::ParseResponse;
using test::RawConnection;
using test::RawResponse;
using test::TestServer;
constexpr std::size_t kStep = MemoryReservation::kStep;

// Waits, within a generous limit, until the budget holds what the predicate wants.
template <class Predicate>
bool WaitForBudget(const RequestMemoryBudget& budget, Predicate wanted) {
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!wanted(budget.InUse())) {
    if (std::chrono::steady_clock::now() > give_up) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

TEST(RequestMemoryBudgetTest, ReservationsStayWithinTheBudgetAndGoBackWhole) {
  auto budget = std::make_shared<RequestMemoryBudget>(4 * kStep);
  EXPECT_FALSE(budget->TryReserve(4 * kStep + 1));
  {
    MemoryReservation first(budget);
    EXPECT_TRUE(first.Cover(1));  // a whole step at once
    EXPECT_EQ(budget->InUse(), kStep);
    EXPECT_TRUE(first.Cover(kStep));  // already covered
    EXPECT_EQ(budget->InUse(), kStep);
    EXPECT_TRUE(first.Cover(2 * kStep + 1));
    EXPECT_EQ(first.Reserved(), 3 * kStep);

    MemoryReservation second(budget);
    EXPECT_FALSE(second.Cover(kStep + 1));  // would pass the budget: nothing taken
    EXPECT_EQ(second.Reserved(), 0u);
    EXPECT_TRUE(second.Cover(kStep));
    EXPECT_EQ(budget->InUse(), 4 * kStep);
    EXPECT_FALSE(budget->TryReserve(1));

    first.Reset();
    EXPECT_EQ(budget->InUse(), kStep);
  }
  EXPECT_EQ(budget->InUse(), 0u);

  // Without a limit everything fits, and is still counted.
  RequestMemoryBudget unlimited(0);
  EXPECT_TRUE(unlimited.TryReserve(SIZE_MAX / 2));
  EXPECT_EQ(unlimited.InUse(), SIZE_MAX / 2);
  unlimited.Release(SIZE_MAX / 2);
  EXPECT_EQ(unlimited.InUse(), 0u);
}

TEST(RequestMemoryBudgetTest, TheParserGrowsABodyOnlyWithinItsReservation) {
  struct Case {
    const char* name;
    std::string head;
    bool end_of_input;
  };
  const std::size_t body_size = 200'000;
  const Case cases[] = {
      {"by length", "POST /p HTTP/1.1\r\nContent-Length: 200000\r\n\r\n", false},
      {"until the client closes", "POST /p HTTP/1.0\r\n\r\n", true},
  };
  const std::string body(body_size, 'b');
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const std::size_t budget_bytes : {std::size_t{128 * 1024}, std::size_t{512 * 1024}}) {
      SCOPED_TRACE(budget_bytes);
      auto budget = std::make_shared<RequestMemoryBudget>(budget_bytes);
      MemoryReservation reservation(budget);
      HttpRequestParser parser(1 << 20, &reservation);
      using Result = HttpRequestParser::Result;
      Result result = parser.Feed(c.head);
      // In the pieces a socket delivers.
      for (std::size_t at = 0; at < body.size() && result == Result::kNeedMore; at += 8192)
        result = parser.Feed(std::string_view(body).substr(at, 8192));
      if (c.end_of_input && result == Result::kNeedMore) result = parser.FinishInput();

      if (budget_bytes < body_size) {
        EXPECT_EQ(result, Result::kNoMemory);
        EXPECT_LE(parser.Request().body.capacity(), budget_bytes);
      } else {
        ASSERT_EQ(result, Result::kComplete);
        EXPECT_EQ(parser.Request().body, body);
      }
      // Every byte the body's buffer holds is reserved, and not much more.
      EXPECT_GE(reservation.Reserved(), parser.Request().body.capacity());
      EXPECT_LT(reservation.Reserved(), parser.Request().body.capacity() + kStep);
      EXPECT_EQ(budget->InUse(), reservation.Reserved());
    }
  }
}

TEST(RequestMemoryBudgetTest, ABodyThatDoesNotFitIsAnswered503WhileTheOtherIsServed) {
  HttpServerLimits limits;
  limits.request_memory = std::make_shared<RequestMemoryBudget>(256 * 1024);
  const RequestMemoryBudget& budget = *limits.request_memory;
  TestServer server(limits);
  const std::string body(200 * 1024, 'a');
  const std::string head = "POST /Integracao_Telemetria HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) +
                           "\r\n\r\n";

  // The first client sends most of its body and keeps the rest back: its buffer holds the
  // body's whole length by then.
  RawConnection first(server.Port());
  first.Send(head + body.substr(0, 150 * 1024));
  ASSERT_TRUE(WaitForBudget(budget, [&](std::size_t in_use) { return in_use >= body.size(); }));

  // The second does not fit beside it.
  RawConnection second(server.Port());
  second.Send(head + body);
  second.ShutdownWrite();
  const RawResponse refused = ParseResponse(second.ReadAll());
  EXPECT_FALSE(second.timed_out);
  EXPECT_EQ(refused.status_line, "HTTP/1.1 503 Service Unavailable");
  EXPECT_EQ(refused.Header("Connection"), "close");
  EXPECT_EQ(refused.Header("Content-Type"), "text/html");
  EXPECT_EQ(refused.Header("Content-Length"), std::to_string(refused.body.size()));
  EXPECT_EQ(refused.body.rfind("<font size=\"7\">503 Service Unavailable</font><br />", 0), 0u) << refused.body;

  first.Send(body.substr(150 * 1024));
  const RawResponse served = ParseResponse(first.ReadAll());
  EXPECT_EQ(served.status_line, "HTTP/1.1 200 OK");
  EXPECT_EQ(served.body, "echo:" + body);

  EXPECT_TRUE(WaitForBudget(budget, [](std::size_t in_use) { return in_use == 0; })) << budget.InUse();
}

}  // namespace
}  // namespace qit
