#include "transport/soap/ROGuid.h"

#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid_io.hpp>
#include <fmt/format.h>

#include "common/Errors.h"
#include "common/Text.h"

namespace qit {

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

TGuid NewGuid() { return boost::uuids::random_generator()(); }

std::string GuidToString(const TGuid& guid) { return "{" + UpperCase(boost::uuids::to_string(guid)) + "}"; }

TGuid StringToGuid(std::string_view text) {
  const auto invalid = [&] { return EConvertError(fmt::format("'{}' is not a valid GUID value", text)); };
  if (text.size() != 38 || text.front() != '{' || text.back() != '}') throw invalid();
  TGuid guid{};
  std::size_t byte = 0;
  for (std::size_t i = 1; i < 37;) {
    if (i == 9 || i == 14 || i == 19 || i == 24) {
      if (text[i] != '-') throw invalid();
      ++i;
      continue;
    }
    const int high = HexDigit(text[i]), low = HexDigit(text[i + 1]);
    if (high < 0 || low < 0) throw invalid();
    guid.data[byte++] = static_cast<std::uint8_t>(high * 16 + low);
    i += 2;
  }
  return guid;
}

}  // namespace qit
