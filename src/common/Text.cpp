#include "common/Text.h"

#include <algorithm>
#include <charconv>

namespace qit {

namespace {
char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
bool IsBlank(char c) { return static_cast<unsigned char>(c) <= ' '; }
}  // namespace

std::string UpperCase(std::string_view text) {
  std::string result(text);
  std::transform(result.begin(), result.end(), result.begin(), Upper);
  return result;
}

std::string LowerCase(std::string_view text) {
  std::string result(text);
  std::transform(result.begin(), result.end(), result.begin(), Lower);
  return result;
}

bool SameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return Upper(x) == Upper(y); });
}

bool StartsWithText(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && SameText(text.substr(0, prefix.size()), prefix);
}

std::string_view TrimLeft(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  return text;
}

std::string_view Trim(std::string_view text) {
  text = TrimLeft(text);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

std::string OneLine(std::string_view text) {
  std::string result;
  AppendOneLine(result, text);
  return result;
}

void AppendOneLine(std::string& out, std::string_view text) {
  // Bytes that may start a control character: C0, DEL, and 0xC2, the lead byte of a C1.
  const auto special = [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7F || byte == 0xC2;
  };
  while (true) {
    const auto it = std::find_if(text.begin(), text.end(), special);
    out.append(text.begin(), it);
    if (it == text.end()) return;
    const std::string_view rest(it, text.end());
    const bool c1 = rest.size() >= 2 && static_cast<unsigned char>(rest[0]) == 0xC2 &&
                    static_cast<unsigned char>(rest[1]) >= 0x80 && static_cast<unsigned char>(rest[1]) <= 0x9F;
    const bool control = c1 || static_cast<unsigned char>(rest[0]) != 0xC2;
    // A 0xC2 that leads another character (U+00A0 to U+00BF) is kept as it is.
    out += control ? ' ' : rest[0];
    text = rest.substr(c1 ? 2 : 1);
  }
}

std::string_view CharactersWithin(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) return text;
  std::size_t cut = limit;
  // Back to the start of the character that would be split: UTF-8 continuation bytes are
  // 10xxxxxx.
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return text.substr(0, cut);
}

std::string RequestText(std::string_view text) {
  const std::string_view kept = CharactersWithin(text, kRequestTextLimit);
  std::string result = OneLine(kept);
  if (kept.size() < text.size()) result += "\u2026(+" + std::to_string(text.size() - kept.size()) + " bytes)";
  return result;
}

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

TextPosition PositionInText(std::string_view text, std::size_t offset) {
  const std::string_view before = text.substr(0, std::min(offset, text.size()));
  const std::size_t line = static_cast<std::size_t>(std::count(before.begin(), before.end(), '\n')) + 1;
  const std::size_t line_start = before.rfind('\n');
  const std::size_t column = before.size() - (line_start == std::string_view::npos ? 0 : line_start + 1) + 1;
  return {line, column};
}

std::optional<int> ParseInt32(std::string_view text) {
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
    if (!text.empty() && text.front() == '-') return std::nullopt;
  }
  if (text.empty() || text.front() == '+') return std::nullopt;
  int value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

bool TextLess::operator()(std::string_view a, std::string_view b) const {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                      [](char x, char y) { return Upper(x) < Upper(y); });
}

}  // namespace qit
