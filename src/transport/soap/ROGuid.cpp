#include "transport/soap/ROGuid.h"

#include <boost/uuid/random_generator.hpp>
#include <fmt/format.h>

#include "common/Errors.h"
#include "common/Text.h"

namespace qit {

namespace {

// Where the four hyphens stand in the braces form.
constexpr bool IsHyphenPosition(std::size_t i) { return i == 9 || i == 14 || i == 19 || i == 24; }

}  // namespace

TGuid NewGuid() { return boost::uuids::random_generator()(); }

std::string GuidToString(const TGuid& guid) {
  static constexpr char kHexDigits[] = "0123456789ABCDEF";
  std::string text(38, '-');
  text.front() = '{';
  text.back() = '}';
  std::size_t byte = 0;
  for (std::size_t i = 1; i < 37; i += 2) {
    if (IsHyphenPosition(i)) ++i;
    text[i] = kHexDigits[guid.data[byte] >> 4];
    text[i + 1] = kHexDigits[guid.data[byte] & 0x0F];
    ++byte;
  }
  return text;
}

TGuid StringToGuid(std::string_view text) {
  const auto invalid = [&] { return EConvertError(fmt::format("'{}' is not a valid GUID value", RequestText(text))); };
  if (text.size() != 38 || text.front() != '{' || text.back() != '}') throw invalid();
  TGuid guid{};
  std::size_t byte = 0;
  for (std::size_t i = 1; i < 37;) {
    if (IsHyphenPosition(i)) {
      if (text[i] != '-') throw invalid();
      ++i;
      continue;
    }
    const int high = HexDigitValue(text[i]), low = HexDigitValue(text[i + 1]);
    if (high < 0 || low < 0) throw invalid();
    guid.data[byte++] = static_cast<std::uint8_t>(high * 16 + low);
    i += 2;
  }
  return guid;
}

}  // namespace qit
