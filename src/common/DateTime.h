#pragma once

#include <chrono>
#include <compare>
#include <string>

namespace qit {

// A local date and time held as a day count: whole days since 30 December 1899, the
// time of day as the fraction of a day. This is the value type of every date-time the
// program handles (records, database parameters, log clocks).
class TDateTime {
 public:
  struct Parts {
    int year = 1899, month = 12, day = 30;
    int hour = 0, minute = 0, second = 0, millisecond = 0;
  };

  constexpr TDateTime() = default;
  constexpr explicit TDateTime(double days) : days_(days) {}

  constexpr double Days() const { return days_; }

  // Calendar and clock conversions. An impossible date fails with EConvertError
  // "Invalid argument to date encode", an impossible time with "... time encode".
  static TDateTime EncodeDate(int year, int month, int day);
  static TDateTime EncodeTime(int hour, int minute, int second, int millisecond = 0);
  static TDateTime Encode(const Parts& parts);
  static bool IsValidDate(int year, int month, int day);
  Parts Decode() const;

  // The local time of a system clock instant, and the present local time.
  static TDateTime FromTimePoint(std::chrono::system_clock::time_point instant);
  static TDateTime Now();

  // Whole days since the epoch of the count (the date part), as a signed day number.
  int DatePart() const;

  // "dd/mm/yyyy hh:nn:ss"; the time part is left out when it is exactly midnight.
  std::string ToString() const;

  friend constexpr auto operator<=>(TDateTime, TDateTime) = default;
  friend TDateTime operator+(TDateTime t, double days) { return TDateTime(t.days_ + days); }

 private:
  double days_ = 0;
};

inline constexpr double kMillisecondsPerDay = 86'400'000.0;

}  // namespace qit
