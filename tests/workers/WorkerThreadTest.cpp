#include "workers/WorkerThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <latch>
#include <thread>

namespace qit {
namespace {

using namespace std::chrono_literals;

TEST(WorkerThreadTest, AStopWaitsForABodyThatEndsAndLeavesBehindOneThatDoesNot) {
  // A body that sees its stop ends, and is joined.
  WorkerThread ending([](std::stop_token stop) {
    while (!stop.stop_requested()) std::this_thread::sleep_for(1ms);
  });
  EXPECT_TRUE(ending.Stop(std::chrono::steady_clock::now() + 10s));
  EXPECT_TRUE(ending.Stop(std::chrono::steady_clock::now()));  // once more: still ended

  // A body held in a call that does not come back is left behind at the deadline. What it
  // uses must outlive it: here objects that live as long as the process.
  static std::latch release(1);
  static std::atomic<bool> returned = false;
  static auto* held = new WorkerThread([](std::stop_token) {
    release.wait();
    returned = true;
  });
  const auto started = std::chrono::steady_clock::now();
  EXPECT_FALSE(held->Stop(started + 200ms));
  EXPECT_GE(std::chrono::steady_clock::now() - started, 200ms);
  EXPECT_FALSE(held->Stop(std::chrono::steady_clock::time_point::max()));  // left behind: no join
  EXPECT_FALSE(returned);
  release.count_down();
  while (!returned) std::this_thread::sleep_for(1ms);
}

}  // namespace
}  // namespace qit
