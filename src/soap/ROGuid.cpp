#include "soap/ROGuid.h"

#include <sys/random.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <system_error>

#include <fmt/format.h>

#include "common/Errors.h"
#include "common/Text.h"

namespace qit {

namespace {

// Where the four hyphens stand in the braces form.
constexpr bool IsHyphenPosition(std::size_t i) { return i == 9 || i == 14 || i == 19 || i == 24; }

// The system's random bytes, fetched in blocks: one system call serves 64 identifiers
// instead of one per identifier (every request gets one). Each thread has its own block.
class RandomBlock {
 public:
  void Take(std::uint8_t* out, std::size_t count) {
    if (used_ + count > bytes_.size()) Refill();
    std::memcpy(out, bytes_.data() + used_, count);
    used_ += count;
  }

 private:
  void Refill() {
    std::size_t filled = 0;
    while (filled < bytes_.size()) {
      const ssize_t got = ::getrandom(bytes_.data() + filled, bytes_.size() - filled, 0);
      if (got < 0) {
        if (errno == EINTR) continue;
        throw Exception(fmt::format("No random bytes from the system: {}", std::system_category().message(errno)));
      }
      filled += static_cast<std::size_t>(got);
    }
    used_ = 0;
  }

  std::array<std::uint8_t, 1024> bytes_{};
  std::size_t used_ = bytes_.size();
};

}  // namespace

TGuid NewGuid() {
  thread_local RandomBlock random;
  TGuid guid;
  random.Take(guid.data, sizeof guid.data);
  // A random identifier by the usual layout: version 4, variant 10.
  guid.data[6] = static_cast<std::uint8_t>((guid.data[6] & 0x0F) | 0x40);
  guid.data[8] = static_cast<std::uint8_t>((guid.data[8] & 0x3F) | 0x80);
  return guid;
}

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
