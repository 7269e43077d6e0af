#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qit {

// ASCII letter-case helpers: names, keys and identifiers of this program are ASCII.
std::string UpperCase(std::string_view text);
std::string LowerCase(std::string_view text);
bool SameText(std::string_view a, std::string_view b);
bool StartsWithText(std::string_view text, std::string_view prefix);

// Blanks and control characters (<= ' ') removed from both ends / one end.
std::string_view Trim(std::string_view text);
std::string_view TrimLeft(std::string_view text);

// Every control character replaced by one blank: the C0 controls (carriage return, line
// feed, tab, escape ...), DEL and the C1 controls (U+0080 to U+009F), so that a text stays on
// one line and cannot drive the terminal that shows it.
std::string OneLine(std::string_view text);
// The same, appended to `out`: for callers that build a line in a kept buffer.
void AppendOneLine(std::string& out, std::string_view text);

// The longest start of a text that holds at most `limit` bytes and splits no UTF-8 character.
std::string_view CharactersWithin(std::string_view text, std::size_t limit);

// How much of a text that came with a request is written into a log line or quoted by a
// fault.
inline constexpr std::size_t kRequestTextLimit = 1024;
// A text that came with a request, made fit for a log line or a fault: on one line (as
// OneLine) and, when longer than kRequestTextLimit bytes, cut at the last character boundary
// within them and followed by "…(+N bytes)", N the bytes left out.
std::string RequestText(std::string_view text);

// The value of a hexadecimal digit, either letter case; -1 for any other character.
int HexDigitValue(char c);

// Line and column (both from 1) of a byte offset into a text; an offset past the end counts
// as the end.
struct TextPosition {
  std::size_t line;
  std::size_t column;
};
TextPosition PositionInText(std::string_view text, std::size_t offset);

// A whole text as a 32-bit signed decimal integer, with an optional sign; nothing else
// is accepted (no blanks). std::nullopt when it does not parse or does not fit.
std::optional<int> ParseInt32(std::string_view text);

// Case-insensitive ordering for maps keyed by names.
struct TextLess {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const;
};

}  // namespace qit
