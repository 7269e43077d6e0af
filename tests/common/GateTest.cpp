#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "common/Gate.h"

namespace qit {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Waits until Close has run on another thread: from then on the gate gives no pass. false
// when it still gives them after some seconds.
bool AwaitClosed(Gate& gate) {
  const Clock::time_point give_up = Clock::now() + 10s;
  while (gate.Enter())
    if (Clock::now() > give_up) return false;
  return true;
}

// Work kept in callbacks is copied and moved: Close waits until the last copy of the last
// pass is gone, a copy made while it waits included, and only then returns.
TEST(GateTest, CloseWaitsForEveryCopyOfThePassesInFlight) {
  Gate gate;
  std::future<bool> closed;  // before the passes: a failed check drops them, then waits for Close
  Gate::Pass first = gate.Enter();
  ASSERT_TRUE(first);
  Gate::Pass moved = std::move(first);
  EXPECT_FALSE(first) << "a pass moved from is no pass";
  Gate::Pass copy = moved;
  Gate::Pass second = gate.Enter();

  closed = std::async(std::launch::async, [&gate] { return gate.Close(Clock::time_point::max()); });
  ASSERT_TRUE(AwaitClosed(gate)) << "a pass was given after Close";
  Gate::Pass copied_while_closing = copy;
  for (Gate::Pass* pass : {&moved, &second, &copy}) {
    EXPECT_EQ(closed.wait_for(20ms), std::future_status::timeout) << "Close returned with passes out";
    *pass = Gate::Pass();
  }
  EXPECT_EQ(closed.wait_for(20ms), std::future_status::timeout) << "the copy made while closing was not counted";
  copied_while_closing = Gate::Pass();
  EXPECT_TRUE(closed.get());
  EXPECT_FALSE(gate.Enter());
}

// A pass that stays past the deadline: Close says so at the deadline, not before, and the
// gate stays closed; once the pass is gone a later Close finds nothing left, whatever its
// deadline.
TEST(GateTest, CloseGivesUpAtItsDeadlineAndALaterCloseFinishes) {
  Gate gate;
  Gate::Pass held = gate.Enter();
  const Clock::time_point deadline = Clock::now() + 50ms;
  EXPECT_FALSE(gate.Close(deadline));
  EXPECT_GE(Clock::now(), deadline);
  EXPECT_FALSE(gate.Enter());
  held = Gate::Pass();
  EXPECT_TRUE(gate.Close(Clock::now() - 1s));

  Gate unused;
  EXPECT_TRUE(unused.Close(Clock::now() - 1s)) << "nothing in flight: closed at once";
  EXPECT_FALSE(unused.Enter());
}

// Threads enter and leave without pause while the gate closes: each either is turned away or
// gets a pass that Close waits for. What they wrote under their passes is seen by the thread
// that closed (ThreadSanitizer checks the order), and no pass is given once Close returned.
TEST(GateTest, WorkEnteringWhileTheGateClosesIsTurnedAwayOrWaitedFor) {
  constexpr int kThreads = 4;
  Gate gate;
  std::atomic<bool> close_returned = false;
  std::atomic<bool> finish = false;
  std::atomic<int> entered = 0;
  std::atomic<int> passes_after_close = 0;
  std::vector<long> work(kThreads, 0);  // each thread's own, written only under a pass
  std::vector<std::jthread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      while (!finish) {
        const Gate::Pass pass = gate.Enter();
        if (!pass) continue;
        if (close_returned) ++passes_after_close;
        ++work[static_cast<std::size_t>(t)];
        ++entered;
      }
    });
  while (entered < 1000) std::this_thread::yield();
  EXPECT_TRUE(gate.Close(Clock::now() + 10s));
  close_returned = true;
  long total = 0;
  for (const long done : work) total += done;
  EXPECT_EQ(total, entered.load()) << "work under a pass was still running when Close returned";
  std::this_thread::sleep_for(10ms);  // the threads keep knocking
  finish = true;
  threads.clear();
  EXPECT_EQ(passes_after_close, 0);
}

}  // namespace
}  // namespace qit
