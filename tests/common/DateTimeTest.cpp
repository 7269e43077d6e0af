#include "common/DateTime.h"

#include <gtest/gtest.h>

#include "common/Errors.h"

namespace qit {
namespace {

TEST(TDateTime, CalendarAndClockRoundTrip) {
  struct Case {
    TDateTime::Parts parts;
    double days;
  };
  const Case cases[] = {
      {{1899, 12, 30, 0, 0, 0, 0}, 0.0},
      {{1900, 1, 1, 0, 0, 0, 0}, 2.0},
      {{1899, 12, 29, 6, 0, 0, 0}, -1.25},  // before the epoch the fraction still counts forward
      {{2024, 3, 15, 12, 0, 0, 0}, 45366.5},
      {{2000, 2, 29, 18, 0, 0, 0}, 36585.75},
      {{9999, 12, 31, 0, 0, 0, 0}, 2958465.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.days);
    EXPECT_DOUBLE_EQ(TDateTime::Encode(c.parts).Days(), c.days);
    const TDateTime::Parts back = TDateTime(c.days).Decode();
    EXPECT_EQ(back.year, c.parts.year);
    EXPECT_EQ(back.month, c.parts.month);
    EXPECT_EQ(back.day, c.parts.day);
    EXPECT_EQ(back.hour, c.parts.hour);
  }
  // Milliseconds survive the round trip, also at the last millisecond of a day.
  const TDateTime::Parts late{2024, 3, 15, 23, 59, 59, 999};
  const TDateTime::Parts decoded = TDateTime::Encode(late).Decode();
  EXPECT_EQ(decoded.day, 15);
  EXPECT_EQ(decoded.hour, 23);
  EXPECT_EQ(decoded.second, 59);
  EXPECT_EQ(decoded.millisecond, 999);
}

TEST(TDateTime, ImpossibleValuesAreConversionErrors) {
  struct Case {
    TDateTime::Parts parts;
    const char* message;
  };
  const Case cases[] = {
      {{2023, 2, 29, 0, 0, 0, 0}, "Invalid argument to date encode"},
      {{1900, 2, 29, 0, 0, 0, 0}, "Invalid argument to date encode"},
      {{2024, 13, 1, 0, 0, 0, 0}, "Invalid argument to date encode"},
      {{2024, 4, 31, 0, 0, 0, 0}, "Invalid argument to date encode"},
      {{0, 1, 1, 0, 0, 0, 0}, "Invalid argument to date encode"},
      {{2024, 1, 1, 24, 0, 0, 0}, "Invalid argument to time encode"},
      {{2024, 1, 1, 0, 60, 0, 0}, "Invalid argument to time encode"},
      {{2024, 1, 1, 0, 0, 0, 1000}, "Invalid argument to time encode"},
  };
  for (const Case& c : cases) {
    try {
      TDateTime::Encode(c.parts);
      ADD_FAILURE() << c.message;
    } catch (const EConvertError& error) {
      EXPECT_EQ(error.Message(), c.message);
      EXPECT_EQ(error.ClassName(), "EConvertError");
    }
  }
}

TEST(TDateTime, TextLeavesOutAMidnightTime) {
  EXPECT_EQ(TDateTime::Encode({2024, 3, 5, 10, 2, 3, 0}).ToString(), "05/03/2024 10:02:03");
  EXPECT_EQ(TDateTime::EncodeDate(2024, 3, 5).ToString(), "05/03/2024");
  EXPECT_EQ(TDateTime().ToString(), "30/12/1899");
  EXPECT_EQ(TDateTime::EncodeTime(8, 30, 0).ToString(), "30/12/1899 08:30:00");
}

TEST(TDateTime, LocalTimeOfAnInstant) {
  const auto now = std::chrono::system_clock::now();
  const std::time_t t = std::chrono::system_clock::to_time_t(now);
  std::tm local{};
  localtime_r(&t, &local);
  const TDateTime::Parts p = TDateTime::FromTimePoint(now).Decode();
  EXPECT_EQ(p.year, local.tm_year + 1900);
  EXPECT_EQ(p.month, local.tm_mon + 1);
  EXPECT_EQ(p.day, local.tm_mday);
  EXPECT_EQ(p.minute, local.tm_min);
}

}  // namespace
}  // namespace qit
