#pragma once

#include <string>
#include <string_view>

#include "contract/ROMessage.h"

namespace qit {

// A new random identifier.
TGuid NewGuid();
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in upper-case hexadecimal.
std::string GuidToString(const TGuid& guid);
// The braces form only, hexadecimal in either case; anything else fails with EConvertError
// "'<text>' is not a valid GUID value".
TGuid StringToGuid(std::string_view text);

}  // namespace qit
