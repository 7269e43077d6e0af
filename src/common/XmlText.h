#pragma once

#include <string>
#include <string_view>

namespace qit {

// The text with "&", "<" and ">" written as character references, so it can stand as XML
// or HTML content; for a double-quoted attribute value the double quote is escaped too.
std::string XmlEscape(std::string_view text, bool in_attribute = false);

}  // namespace qit
