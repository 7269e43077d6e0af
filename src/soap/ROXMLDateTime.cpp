#include "soap/ROXMLDateTime.h"

#include <fmt/format.h>

#include <algorithm>
#include <vector>

#include "common/Errors.h"
#include "common/StrToInt.h"

namespace qit {

namespace {

// A text cut at character positions, counted from 1. A character is one UTF-8 sequence, so
// that a piece, and the fault that names it, never holds half of one. Texts of plain ASCII,
// what every well-formed value is, need no table of where the characters start.
class Characters {
 public:
  explicit Characters(std::string_view text) : text_(text) {
    if (std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) return;
    for (std::size_t i = 0; i < text.size(); ++i)
      if (i == 0 || (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) starts_.push_back(i);
  }

  std::size_t size() const { return starts_.empty() ? text_.size() : starts_.size(); }

  // Characters first..first+count-1; what lies beyond the text is left out.
  std::string_view Sub(std::size_t first, std::size_t count) const {
    const std::size_t begin = Offset(first - 1);
    return text_.substr(begin, Offset(first - 1 + count) - begin);
  }

 private:
  // The byte offset of the character at index `index` (from 0), or the text's end.
  std::size_t Offset(std::size_t index) const {
    if (starts_.empty()) return std::min(index, text_.size());
    return index < starts_.size() ? starts_[index] : text_.size();
  }

  std::string_view text_;
  std::vector<std::size_t> starts_;
};

// The integer held by characters first..first+count-1; a piece that lies beyond the text is
// empty and fails like any other non-integer. Plain digits, what every well-formed value
// holds, are read directly; anything else goes through the integer conversion, which also
// takes a sign and names the piece when it fails.
int Piece(const Characters& text, std::size_t first, std::size_t count) {
  const std::string_view piece = text.Sub(first, count);
  if (piece.size() == count && std::all_of(piece.begin(), piece.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    int value = 0;
    for (const char c : piece) value = value * 10 + (c - '0');
    return value;
  }
  return StrToInt(piece);
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
  const Characters characters(text);
  // Each piece is read in its own statement, so that the first one that fails in reading
  // order is the one the fault names.
  if (characters.size() == 8) {
    const int hour = Piece(characters, 1, 2), minute = Piece(characters, 4, 2), second = Piece(characters, 7, 2);
    return TDateTime::EncodeTime(hour, minute, second);
  }
  const int year = Piece(characters, 1, 4), month = Piece(characters, 6, 2), day = Piece(characters, 9, 2);
  const double date = TDateTime::EncodeDate(year, month, day).Days();
  if (characters.size() == 10) return TDateTime(date);

  const int hour = Piece(characters, 12, 2), minute = Piece(characters, 15, 2), second = Piece(characters, 18, 2);
  double time = TDateTime::EncodeTime(hour, minute, second).Days();

  std::string_view rest = characters.Sub(20, text.size());
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
