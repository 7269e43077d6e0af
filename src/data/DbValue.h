#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "common/DateTime.h"

namespace qit {

// SQL NULL as a value.
struct DbNull {
  friend bool operator==(DbNull, DbNull) = default;
};

// The tagged value of a parameter or of a column of a fetched row: no value at all, NULL,
// a 32-bit or 64-bit integer, a floating-point number, a date-time or a text (UTF-8).
using DbValue = std::variant<std::monostate, DbNull, std::int32_t, std::int64_t, double, TDateTime, std::string>;

// Reading a value the usual way: NULL (and no value) reads as an empty text, 0 or the zero
// date-time. A text that is not a number or a date-time raises EConvertError.
bool IsNullValue(const DbValue& value);
std::string ValueAsString(const DbValue& value);
std::int64_t ValueAsLargeInt(const DbValue& value);
// A 64-bit value is cut to its low 32 bits.
std::int32_t ValueAsInteger(const DbValue& value);
TDateTime ValueAsDateTime(const DbValue& value);

}  // namespace qit
