#include "data/SqlMarkers.h"

#include <fmt/format.h>

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

// Copies `sql` to `out`, writing `replace(marker name)` in place of each marker (empty name
// for a plain "?").
template <class Replace>
void ReplaceMarkers(std::string_view sql, std::string& out, Replace&& replace) {
  out.reserve(out.size() + sql.size());
  std::size_t i = 0;
  while (i < sql.size()) {
    const char c = sql[i];
    const char next = i + 1 < sql.size() ? sql[i + 1] : '\0';
    if (c == '\'' || c == '"') {
      // A doubled quote inside a literal closes and reopens it, which copies the same bytes.
      i = CopyQuoted(sql, i, c, out);
    } else if (c == '-' && next == '-') {
      i = CopyUntil(sql, i, "\n", out);
    } else if (c == '/' && next == '*') {
      i = CopyUntil(sql, i, "*/", out);
    } else if ((c == ':' || c == '?') && IsNameChar(next)) {
      std::size_t end = i + 1;
      while (end < sql.size() && IsNameChar(sql[end])) ++end;
      replace(sql.substr(i + 1, end - i - 1));
      i = end;
    } else if (c == '?') {
      replace(std::string_view{});
      ++i;
    } else {
      out.push_back(c);
      ++i;
    }
  }
}

}  // namespace

MarkedSql ParseMarkers(std::string_view sql) {
  MarkedSql result;
  ReplaceMarkers(sql, result.text, [&](std::string_view name) {
    result.markers.emplace_back(name);
    result.text.push_back('?');
  });
  return result;
}

std::string RenameMarkers(std::string_view sql, std::string_view prefix) {
  std::string text;
  std::size_t count = 0;
  ReplaceMarkers(sql, text,
                 [&](std::string_view) { fmt::format_to(std::back_inserter(text), ":{}{}", prefix, ++count); });
  return text;
}

}  // namespace qit
