#include "common/Text.h"

#include <gtest/gtest.h>

#include <climits>

namespace qit {
namespace {

TEST(Text, ParseInt32AcceptsOnlyWholeDecimalNumbersThatFit) {
  const std::pair<const char*, std::optional<int>> cases[] = {
      {"0", 0},           {"10166", 10166},     {"-7", -7},          {"+7", 7},
      {"2147483647", INT_MAX}, {"-2147483648", INT_MIN}, {"2147483648", std::nullopt},
      {"", std::nullopt}, {" 1", std::nullopt}, {"1a", std::nullopt}, {"+-1", std::nullopt},
      {"++1", std::nullopt}, {"+", std::nullopt},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(ParseInt32(text), expected) << '"' << text << '"';
}

TEST(Text, NamesCompareWithoutLetterCase) {
  EXPECT_TRUE(SameText("Integracao_Telemetria", "integracao_TELEMETRIA"));
  EXPECT_FALSE(SameText("abc", "abcd"));
  EXPECT_TRUE(StartsWithText("ItemX", "item"));
  EXPECT_FALSE(TextLess{}("gps", "GPS"));
  EXPECT_FALSE(TextLess{}("GPS", "gps"));
  EXPECT_EQ(Trim(" \t a b \r\n"), "a b");
  EXPECT_EQ(OneLine("a\r\nb\nc"), "a  b c");
}

TEST(Text, OneLineBlanksEveryControlCharacter) {
  using namespace std::literals;
  const struct {
    std::string_view text, expected;
  } cases[] = {
      {"a\tb\0c"sv, "a b c"},
      {"\x1b[2J\x1b]0;title\x07", " [2J ]0;title "},  // terminal escapes lose their escape
      {"del\x7f", "del "},
      {"\xc2\x9b" "31m", " 31m"},                // a C1 control is one character, one blank
      {"\xc2\xa0\xc2", "\xc2\xa0\xc2"},          // U+00A0 and a lone lead byte are kept
      {"Jos\xc3\xa9", "Jos\xc3\xa9"},
  };
  for (const auto& c : cases) EXPECT_EQ(OneLine(c.text), c.expected) << c.text;
}

TEST(Text, RequestTextIsCutAtACharacterBoundaryWithAMarker) {
  const std::string limit(kRequestTextLimit, 'a');
  EXPECT_EQ(RequestText(limit), limit);
  EXPECT_EQ(RequestText(limit + "bc"), limit + "\u2026(+2 bytes)");
  // "é" would be split by the limit: it goes whole into the part left out.
  const std::string before(kRequestTextLimit - 1, 'a');
  EXPECT_EQ(RequestText(before + "\xc3\xa9z"), before + "\u2026(+3 bytes)");
  EXPECT_EQ(RequestText(std::string(2000, '\n')), std::string(kRequestTextLimit, ' ') + "\u2026(+976 bytes)");
}

TEST(Text, PositionInTextCountsLinesAndColumnsFromOne) {
  const struct {
    std::size_t offset;
    std::size_t line, column;
  } cases[] = {{0, 1, 1}, {2, 1, 3}, {3, 2, 1}, {5, 2, 3}, {99, 2, 3}};
  for (const auto& c : cases) {
    const TextPosition at = PositionInText("ab\ncd", c.offset);
    EXPECT_EQ(at.line, c.line) << c.offset;
    EXPECT_EQ(at.column, c.column) << c.offset;
  }
}

}  // namespace
}  // namespace qit
