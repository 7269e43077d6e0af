#include "transport/UrlText.h"

#include "common/Text.h"

namespace qit {

RequestTarget SplitRequestTarget(std::string_view target) {
  RequestTarget parts;
  if (const std::size_t mark = target.find('?'); mark != std::string_view::npos) {
    parts.query = target.substr(mark + 1);
    target = target.substr(0, mark);
  }
  // An absolute URL (as a proxy would send it) carries the host before the path.
  if (const std::size_t scheme = target.find("://");
      scheme != std::string_view::npos && target.find('/') == scheme + 1) {
    const std::string_view rest = target.substr(scheme + 3);
    const std::size_t slash = rest.find('/');
    parts.host = rest.substr(0, slash);
    parts.path = slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
    return parts;
  }
  parts.path = target;
  return parts;
}

std::string PercentDecode(std::string_view text, bool plus_is_blank) {
  std::string decoded;
  decoded.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '%' && i + 2 < text.size()) {
      const int high = HexDigitValue(text[i + 1]);
      const int low = HexDigitValue(text[i + 2]);
      if (high >= 0 && low >= 0) {
        decoded.push_back(static_cast<char>(high * 16 + low));
        i += 2;
        continue;
      }
    }
    decoded.push_back(plus_is_blank && c == '+' ? ' ' : c);
  }
  return decoded;
}

std::optional<std::string> FindQueryParameter(std::string_view query, std::string_view name) {
  while (!query.empty()) {
    const std::size_t amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    const std::size_t equals = pair.find('=');
    if (SameText(PercentDecode(pair.substr(0, equals), true), name))
      return equals == std::string_view::npos ? std::string() : PercentDecode(pair.substr(equals + 1), true);
  }
  return std::nullopt;
}

}  // namespace qit
