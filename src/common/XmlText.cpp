#include "common/XmlText.h"

namespace qit {

std::string XmlEscape(std::string_view text, bool in_attribute) {
  std::string escaped;
  escaped.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&':
        escaped += "&amp;";
        break;
      case '<':
        escaped += "&lt;";
        break;
      case '>':
        escaped += "&gt;";
        break;
      case '"':
        escaped += in_attribute ? "&quot;" : "\"";
        break;
      default:
        escaped += c;
    }
  }
  return escaped;
}

}  // namespace qit
