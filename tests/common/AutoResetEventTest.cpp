#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <stop_token>

#include "common/AutoResetEvent.h"

namespace qit {
namespace {

using namespace std::chrono_literals;

TEST(AutoResetEventTest, OneSetLetsOneWaitThroughAndIsKeptUntilThen) {
  AutoResetEvent event;
  std::stop_source never;
  EXPECT_FALSE(event.WaitFor(never.get_token(), 0ms));
  event.Set();
  event.Set();  // two sets before a wait are one
  EXPECT_TRUE(event.WaitFor(never.get_token(), 0ms));
  EXPECT_FALSE(event.WaitFor(never.get_token(), 0ms));
  event.Set();
  EXPECT_TRUE(event.WaitFor(0ms));
}

// A long wait ends on a Set from another thread (true) or on a stop request (false); a
// stop request ends it without taking a signal that comes later.
TEST(AutoResetEventTest, ALongWaitEndsOnSetOrOnStop) {
  AutoResetEvent event;
  std::stop_source never;
  auto woken = std::async(std::launch::async, [&] { return event.WaitFor(never.get_token(), 1h); });
  event.Set();
  EXPECT_TRUE(woken.get());

  std::stop_source stop;
  auto stopped = std::async(std::launch::async, [&] { return event.WaitFor(stop.get_token(), 1h); });
  stop.request_stop();
  EXPECT_FALSE(stopped.get());
  EXPECT_FALSE(event.WaitFor(stop.get_token(), 1h));  // an already stopped token does not wait

  event.Set();
  EXPECT_TRUE(event.WaitFor(stop.get_token(), 1h));  // a pending signal is still taken
}

}  // namespace
}  // namespace qit
