#pragma once

#include <string>
#include <string_view>

#include "common/DateTime.h"

namespace qit {

// A date-time as an XML message writes it: "yyyy-mm-ddThh:nn:ss", without fraction or zone.
std::string DateTimeToXml(TDateTime value);

// Reads "hh:nn:ss" (a time on the zero date), "yyyy-mm-dd" (midnight) or
// "yyyy-mm-ddThh:nn:ss" with an optional fraction of a second and an optional zone ("Z",
// "+hh:nn", "-hh" ...). A value with an offset is brought to UTC. Failures are EConvertError:
// "'<piece>' is not a valid integer value", "Invalid argument to date encode" or "... time encode".
TDateTime XmlToDateTime(std::string_view text);

}  // namespace qit
