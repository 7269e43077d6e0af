#include "data/SqlMarkers.h"

namespace qit {

namespace {

bool IsNameChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '$';
}

// Copies sql[i..] up to and including the first `close` after the opening character.
std::size_t CopyQuoted(std::string_view sql, std::size_t i, char close, std::string& out) {
  const std::size_t end = sql.find(close, i + 1);
  const std::size_t stop = end == std::string_view::npos ? sql.size() : end + 1;
  out.append(sql.substr(i, stop - i));
  return stop;
}

std::size_t CopyUntil(std::string_view sql, std::size_t i, std::string_view close, std::string& out) {
  const std::size_t end = sql.find(close, i + 2);
  const std::size_t stop = end == std::string_view::npos ? sql.size() : end + close.size();
  out.append(sql.substr(i, stop - i));
  return stop;
}

}  // namespace

MarkedSql ParseMarkers(std::string_view sql) {
  MarkedSql result;
  result.text.reserve(sql.size());
  std::size_t i = 0;
  while (i < sql.size()) {
    const char c = sql[i];
    const char next = i + 1 < sql.size() ? sql[i + 1] : '\0';
    if (c == '\'' || c == '"') {
      // A doubled quote inside a literal closes and reopens it, which copies the same bytes.
      i = CopyQuoted(sql, i, c, result.text);
    } else if (c == '-' && next == '-') {
      i = CopyUntil(sql, i, "\n", result.text);
    } else if (c == '/' && next == '*') {
      i = CopyUntil(sql, i, "*/", result.text);
    } else if ((c == ':' || c == '?') && IsNameChar(next)) {
      std::size_t end = i + 1;
      while (end < sql.size() && IsNameChar(sql[end])) ++end;
      result.markers.emplace_back(sql.substr(i + 1, end - i - 1));
      result.text.push_back('?');
      i = end;
    } else {
      if (c == '?') result.markers.emplace_back();
      result.text.push_back(c);
      ++i;
    }
  }
  return result;
}

}  // namespace qit
