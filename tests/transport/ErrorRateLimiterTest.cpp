#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "common/Errors.h"
#include "transport/ErrorRateLimiter.h"
#include "transport/TransportErrorReporter.h"

namespace qit {
namespace {

using namespace std::chrono_literals;

// A clock the test moves by hand.
struct ManualClock {
  std::chrono::steady_clock::time_point now{};
  ErrorRateLimiter::Clock Function() {
    return [this] { return now; };
  }
};

TEST(ErrorRateLimiterTest, OneReportPerKindAndMinuteCountingWhatWasHeldBack) {
  ManualClock clock;
  ErrorRateLimiter limiter(1min, clock.Function());
  struct Step {
    std::chrono::seconds advance;
    const char* kind;
    std::size_t expected;
  };
  const Step steps[] = {
      {0s, "accept", 1},   // the first occurrence of a kind goes out at once
      {0s, "accept", 0},   // held back...
      {30s, "accept", 0},  // ...for the whole minute
      {0s, "read", 1},     // another kind has its own minute
      {29s, "accept", 0},
      {0s, "read", 0},
      {1s, "accept", 4},  // a minute after the last report: this one and the three held back
      {59s, "accept", 0},
      {10min, "accept", 2},  // a long pause still counts what was held back before it
      {0s, "read", 2},
      {1min, "read", 1},  // nothing held back since the last report
  };
  for (std::size_t i = 0; i < std::size(steps); ++i) {
    clock.now += steps[i].advance;
    EXPECT_EQ(limiter.Occurred(steps[i].kind), steps[i].expected) << "step " << i << " (" << steps[i].kind << ")";
  }
}

struct Line {
  std::string location;
  std::string class_name;
  std::string message;
};

TEST(TransportErrorReporterTest, ALineForManyOccurrencesSaysHowManyAndKeepsTheClass) {
  ManualClock clock;
  TransportErrorReporter reporter(1min, clock.Function());
  std::vector<Line> lines;
  reporter.SetSink([&lines](std::string_view location, const std::exception& error) {
    lines.push_back({std::string(location), ClassNameOf(error), error.what()});
  });

  const Exception accept_error("Too many open files", "ESocketError");
  reporter.Report("HttpListener.Accept", accept_error);
  reporter.Report("HttpListener.Accept", accept_error);
  reporter.Report("HttpListener.Accept", accept_error);
  clock.now += 1min;
  reporter.Report("HttpListener.Accept", accept_error);
  reporter.Report("HttpSession.Request", std::runtime_error("sem memória"));

  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].location, "HttpListener.Accept");
  EXPECT_EQ(lines[0].class_name, "ESocketError");
  EXPECT_EQ(lines[0].message, "Too many open files");
  EXPECT_EQ(lines[1].class_name, "ESocketError");
  EXPECT_EQ(lines[1].message, "Too many open files (3 ocorrências desde o registro anterior)");
  EXPECT_EQ(lines[2].location, "HttpSession.Request");
  EXPECT_EQ(lines[2].class_name, "Exception");
  EXPECT_EQ(lines[2].message, "sem memória");
}

TEST(TransportErrorReporterTest, AGivenSinkTakesTheReportAndAFailingSinkDoesNotEscape) {
  TransportErrorReporter reporter;
  std::vector<std::string> own, given;
  reporter.SetSink([&own](std::string_view location, const std::exception&) { own.emplace_back(location); });
  reporter.Report("a", Exception("x"), [&given](std::string_view location, const std::exception&) {
    given.emplace_back(location);
  });
  reporter.Report("b", Exception("x"));
  EXPECT_EQ(given, std::vector<std::string>{"a"});
  EXPECT_EQ(own, std::vector<std::string>{"b"});

  reporter.SetSink([](std::string_view, const std::exception&) { throw std::runtime_error("disco cheio"); });
  EXPECT_NO_THROW(reporter.Report("c", Exception("x")));
}

}  // namespace
}  // namespace qit
