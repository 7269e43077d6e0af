#include "common/DateTime.h"

#include <cmath>
#include <ctime>

#include <fmt/format.h>

#include "common/Errors.h"

namespace qit {

namespace {

// Days between 1970-01-01 and a civil date (proleptic Gregorian calendar).
long long DaysFromCivil(long long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

void CivilFromDays(long long z, int& year, int& month, int& day) {
  z += 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(yoe + era * 400 + (month <= 2));
}

constexpr long long kEpochOffset = 25569;  // 1899-12-30 .. 1970-01-01

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

}  // namespace

bool TDateTime::IsValidDate(int year, int month, int day) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1) return false;
  return day <= kDays[month - 1] + (month == 2 && IsLeap(year) ? 1 : 0);
}

TDateTime TDateTime::EncodeDate(int year, int month, int day) {
  if (!IsValidDate(year, month, day)) throw EConvertError("Invalid argument to date encode");
  return TDateTime(static_cast<double>(DaysFromCivil(year, month, day) + kEpochOffset));
}

TDateTime TDateTime::EncodeTime(int hour, int minute, int second, int millisecond) {
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 ||
      millisecond < 0 || millisecond > 999)
    throw EConvertError("Invalid argument to time encode");
  const double ms = ((hour * 60.0 + minute) * 60.0 + second) * 1000.0 + millisecond;
  return TDateTime(ms / kMillisecondsPerDay);
}

TDateTime TDateTime::Encode(const Parts& p) {
  const double date = EncodeDate(p.year, p.month, p.day).Days();
  const double time = EncodeTime(p.hour, p.minute, p.second, p.millisecond).Days();
  // Before the epoch the fraction still counts forward from the start of the day.
  return TDateTime(date < 0 ? date - time : date + time);
}

int TDateTime::DatePart() const { return static_cast<int>(std::trunc(days_)); }

TDateTime::Parts TDateTime::Decode() const {
  long long day_number = static_cast<long long>(std::trunc(days_));
  long long ms = std::llround(std::fabs(days_ - static_cast<double>(day_number)) * kMillisecondsPerDay);
  if (ms >= static_cast<long long>(kMillisecondsPerDay)) {  // rounding reached the next day
    ms -= static_cast<long long>(kMillisecondsPerDay);
    day_number += days_ < 0 ? -1 : 1;
  }
  Parts p;
  CivilFromDays(day_number - kEpochOffset, p.year, p.month, p.day);
  p.millisecond = static_cast<int>(ms % 1000);
  p.second = static_cast<int>(ms / 1000 % 60);
  p.minute = static_cast<int>(ms / 60000 % 60);
  p.hour = static_cast<int>(ms / 3600000);
  return p;
}

TDateTime TDateTime::FromTimePoint(std::chrono::system_clock::time_point instant) {
  const auto since_epoch = instant.time_since_epoch();
  const auto seconds = std::chrono::floor<std::chrono::seconds>(since_epoch);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(since_epoch - seconds).count();
  const std::time_t t = static_cast<std::time_t>(seconds.count());
  std::tm local{};
  localtime_r(&t, &local);
  return Encode({local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                 local.tm_sec, static_cast<int>(ms)});
}

TDateTime TDateTime::Now() { return FromTimePoint(std::chrono::system_clock::now()); }

std::string TDateTime::ToString() const {
  const Parts p = Decode();
  std::string text = fmt::format("{:02}/{:02}/{:04}", p.day, p.month, p.year);
  if (p.hour != 0 || p.minute != 0 || p.second != 0 || p.millisecond != 0)
    text += fmt::format(" {:02}:{:02}:{:02}", p.hour, p.minute, p.second);
  return text;
}

}  // namespace qit
