#include "transport/soap/ROXMLDateTime.h"

#include <fmt/format.h>

#include "common/Errors.h"
#include "common/StrToInt.h"

namespace qit {

namespace {

// The value of the decimal digits at characters first..first+count-1 (counted from 1);
// -1 when one of them is no digit or lies beyond the text.
int Digits(std::string_view text, std::size_t first, std::size_t count) {
  if (first - 1 + count > text.size()) return -1;
  int value = 0;
  for (const char c : text.substr(first - 1, count)) {
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

// The integer held by characters first..first+count-1 (counted from 1); a piece that lies
// beyond the text is empty and fails like any other non-integer. Plain digits, what every
// well-formed value holds, are read directly; anything else goes through the integer
// conversion, which also takes a sign and names the piece when it fails.
int Piece(std::string_view text, std::size_t first, std::size_t count) {
  if (const int value = Digits(text, first, count); value >= 0) return value;
  return StrToInt(first - 1 < text.size() ? text.substr(first - 1, count) : std::string_view());
}

// Decimal digits after a point, as a fraction of a second.
double SecondFraction(std::string_view digits) {
  if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos)
    throw InvalidIntegerError(digits);
  double fraction = 0;
  double scale = 0.1;
  for (const char digit : digits) {
    fraction += (digit - '0') * scale;
    scale /= 10;
  }
  return fraction;
}

// The date plus a time of day, the time counting forward from the start of the day also
// before the epoch, as every day count of this program does.
double Compose(double date, double time) { return date < 0 ? date - time : date + time; }

}  // namespace

std::string DateTimeToXml(TDateTime value) {
  const TDateTime::Parts p = value.Decode();
  return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}", p.year, p.month, p.day, p.hour, p.minute, p.second);
}

TDateTime XmlToDateTime(std::string_view text) {
  if (text.size() == 8) return TDateTime::EncodeTime(Piece(text, 1, 2), Piece(text, 4, 2), Piece(text, 7, 2));
  const int year = Piece(text, 1, 4), month = Piece(text, 6, 2), day = Piece(text, 9, 2);
  const double date = TDateTime::EncodeDate(year, month, day).Days();
  if (text.size() == 10) return TDateTime(date);

  const int hour = Piece(text, 12, 2), minute = Piece(text, 15, 2), second = Piece(text, 18, 2);
  double time = TDateTime::EncodeTime(hour, minute, second).Days();

  std::string_view rest = text.size() > 19 ? text.substr(19) : std::string_view();
  if (rest.size() >= 2 && rest.front() == '.') {
    const std::size_t zone = rest.find_last_of("+-Z");
    const std::string_view digits = rest.substr(1, zone == std::string_view::npos ? std::string_view::npos : zone - 1);
    time += SecondFraction(digits) / 86400.0;
    rest = zone == std::string_view::npos ? std::string_view() : rest.substr(zone);
  }
  double value = Compose(date, time);

  if (!rest.empty() && (rest.front() == '+' || rest.front() == '-')) {
    const std::string_view offset = rest.substr(1);
    const std::size_t colon = offset.find(':');
    const int hours = StrToInt(offset.substr(0, colon));
    const int minutes = colon == std::string_view::npos ? 0 : StrToInt(offset.substr(colon + 1));
    const double shift = (hours * 60.0 + minutes) / 1440.0;
    // "+hh:nn" is ahead of UTC, so the offset is taken off; "-hh:nn" is added.
    value += rest.front() == '+' ? -shift : shift;
  }
  return TDateTime(value);
}

}  // namespace qit
