#include <map>
#include <thread>

#include <gtest/gtest.h>

#include "LoggerFixture.h"

namespace qit::testing {
namespace {

class ConcurrencyTest : public LoggerFixture {};

// Several threads write many lines through one instance, across many reopen cycles: every
// line arrives whole, exactly once, and in its thread's order.
TEST_F(ConcurrencyTest, WritersNeverInterleaveWithinALine) {
  constexpr int kThreads = 4;
  constexpr int kLines = 750;
  const std::string padding(120, 'x');
  auto logger = NewLogger();
  {
    std::vector<std::jthread> writers;
    for (int t = 0; t < kThreads; ++t)
      writers.emplace_back([&, t] {
        for (int n = 0; n < kLines; ++n) {
          if (n % 2 == 0)
            logger->Registrar("t" + std::to_string(t) + " n" + std::to_string(n) + " " + padding);
          else
            logger->RegistrarFmt("t%d n%d %s", false, stError, t, n, padding);
        }
      });
  }

  const std::vector<std::string> texts = ReadTexts(FileOf("log_enviar", now_), now_);
  ASSERT_EQ(texts.size(), 3u + kThreads * kLines);
  std::map<int, int> next_of_thread;
  for (std::size_t i = 3; i < texts.size(); ++i) {
    int t = -1, n = -1, consumed = 0;
    ASSERT_EQ(std::sscanf(texts[i].c_str(), "t%d n%d %n", &t, &n, &consumed), 2) << texts[i];
    ASSERT_EQ(texts[i].substr(static_cast<std::size_t>(consumed)), padding) << texts[i];
    EXPECT_EQ(n, next_of_thread[t]++) << "thread " << t;
  }
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(next_of_thread[t], kLines);
}

}  // namespace
}  // namespace qit::testing
