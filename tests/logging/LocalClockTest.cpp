#include <chrono>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "logging/LocalClock.h"

namespace qit::testing {
namespace {

using namespace std::chrono;

// Runs the test in a time zone with daylight saving time and puts the zone back afterwards.
class LocalClockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* tz = std::getenv("TZ")) saved_tz_ = tz;
    // Central European time: the clocks go forward at 01:00 UTC on the last Sunday of
    // March and back at 01:00 UTC on the last Sunday of October.
    ::setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    ::tzset();
  }
  void TearDown() override {
    if (saved_tz_)
      ::setenv("TZ", saved_tz_->c_str(), 1);
    else
      ::unsetenv("TZ");
    ::tzset();
  }

 private:
  std::optional<std::string> saved_tz_;
};

system_clock::time_point Utc(int year, unsigned month, unsigned day, int hour, int minute, int second, int ms) {
  return sys_days{std::chrono::year{year} / month / day} + hours{hour} + minutes{minute} + seconds{second} +
         milliseconds{ms};
}

TEST_F(LocalClockTest, EveryReadingEqualsItsOwnConversion) {
  // Readings in the order a logger makes them: several in one second, then the next
  // seconds, across both changes of the offset, and back to an earlier second.
  const system_clock::time_point readings[] = {
      Utc(2024, 3, 31, 0, 59, 58, 0),   Utc(2024, 3, 31, 0, 59, 58, 999), Utc(2024, 3, 31, 0, 59, 59, 500),
      Utc(2024, 3, 31, 1, 0, 0, 0),     Utc(2024, 3, 31, 1, 0, 0, 1),     Utc(2024, 3, 31, 1, 0, 1, 250),
      Utc(2024, 10, 27, 0, 59, 59, 999), Utc(2024, 10, 27, 1, 0, 0, 0),   Utc(2024, 10, 27, 1, 0, 0, 123),
      Utc(2024, 12, 31, 22, 59, 59, 999), Utc(2024, 12, 31, 23, 0, 0, 0), Utc(2024, 3, 31, 0, 59, 58, 1),
  };
  LocalClock clock;
  for (const system_clock::time_point instant : readings) {
    SCOPED_TRACE(duration_cast<milliseconds>(instant.time_since_epoch()).count());
    EXPECT_EQ(clock.At(instant).Days(), TDateTime::FromTimePoint(instant).Days());
  }
  // The offset really changed in between: an hour ahead in winter, two in summer.
  const TDateTime::Parts winter = clock.At(Utc(2024, 3, 31, 0, 59, 59, 0)).Decode();
  const TDateTime::Parts summer = clock.At(Utc(2024, 3, 31, 1, 0, 0, 0)).Decode();
  EXPECT_EQ(winter.hour, 1);
  EXPECT_EQ(summer.hour, 3);
}

}  // namespace
}  // namespace qit::testing
