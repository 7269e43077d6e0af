#include "data/DbValue.h"

#include <charconv>
#include <cmath>

#include <fmt/format.h>

#include "common/Errors.h"
#include "common/StrToInt.h"
#include "common/Text.h"

namespace qit {

namespace {

template <class... Ts>
struct Overloaded : Ts... {
  using Ts::operator()...;
};
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

std::int64_t ParseLargeInt(const std::string& text) {
  const std::string_view digits = Trim(text);
  std::int64_t result = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), result);
  if (digits.empty() || error != std::errc() || end != digits.data() + digits.size())
    throw InvalidIntegerError(text);
  return result;
}

}  // namespace

bool IsNullValue(const DbValue& value) {
  return std::holds_alternative<std::monostate>(value) || std::holds_alternative<DbNull>(value);
}

std::string ValueAsString(const DbValue& value) {
  return std::visit(Overloaded{[](std::monostate) { return std::string(); },
                               [](DbNull) { return std::string(); },
                               [](std::int32_t v) { return std::to_string(v); },
                               [](std::int64_t v) { return std::to_string(v); },
                               [](double v) { return fmt::format("{}", v); },
                               [](TDateTime v) { return v.ToString(); },
                               [](const std::string& v) { return v; }},
                    value);
}

std::int64_t ValueAsLargeInt(const DbValue& value) {
  return std::visit(Overloaded{[](std::monostate) -> std::int64_t { return 0; },
                               [](DbNull) -> std::int64_t { return 0; },
                               [](std::int32_t v) -> std::int64_t { return v; },
                               [](std::int64_t v) { return v; },
                               [](double v) -> std::int64_t { return std::llround(v); },
                               [](TDateTime v) -> std::int64_t {
                                 throw InvalidIntegerError(v.ToString());
                               },
                               [](const std::string& v) { return ParseLargeInt(v); }},
                    value);
}

std::int32_t ValueAsInteger(const DbValue& value) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(ValueAsLargeInt(value)));
}

TDateTime ValueAsDateTime(const DbValue& value) {
  return std::visit(Overloaded{[](std::monostate) { return TDateTime(); },
                               [](DbNull) { return TDateTime(); },
                               [](std::int32_t v) { return TDateTime(v); },
                               [](std::int64_t v) { return TDateTime(static_cast<double>(v)); },
                               [](double v) { return TDateTime(v); },
                               [](TDateTime v) { return v; },
                               [](const std::string& v) -> TDateTime {
                                 throw EConvertError(fmt::format("'{}' is not a valid date and time", v));
                               }},
                    value);
}

}  // namespace qit
