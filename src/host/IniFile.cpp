#include "host/IniFile.h"

#include <SimpleIni.h>

#include <charconv>
#include <cstdint>

#include "common/Errors.h"
#include "common/Text.h"

namespace qit {

namespace {
constexpr std::size_t kMaxValueLength = 2047;
}

struct IniFile::Ini {
  CSimpleIniA data{/*a_bIsUtf8=*/true, /*a_bMultiKey=*/false, /*a_bMultiLine=*/false};
};

IniFile::IniFile(std::filesystem::path file) : file_(std::move(file)), ini_(std::make_unique<Ini>()) {
  ini_->data.SetSpaces(false);  // "Key=Value", as the file's readers expect
  // A missing file, or anything that is not a regular file, simply reads as empty.
  std::error_code error;
  if (std::filesystem::is_regular_file(file_, error)) ini_->data.LoadFile(file_.c_str());
}

IniFile::~IniFile() = default;

std::string IniFile::ReadText(const std::string& section, const std::string& key,
                              const std::string& default_value) const {
  const char* value = ini_->data.GetValue(section.c_str(), key.c_str(), nullptr);
  if (value == nullptr) return default_value;
  std::string text(Trim(value));
  if (text.size() > kMaxValueLength) text.resize(kMaxValueLength);
  return text;
}

int IniFile::ReadInteger(const std::string& section, const std::string& key, int default_value) const {
  // A missing key and a value that does not parse both give the default.
  return ConfigurationInteger(ReadText(section, key, ""), default_value);
}

bool IniFile::ReadFlag(const std::string& section, const std::string& key, bool default_value) const {
  return ReadText(section, key, default_value ? "T" : "F") == "T";
}

void IniFile::WriteText(const std::string& section, const std::string& key, const std::string& value) {
  ini_->data.SetValue(section.c_str(), key.c_str(), value.c_str());
  if (ini_->data.SaveFile(file_.c_str(), /*a_bAddSignature=*/false) < 0)
    throw Exception("Unable to write to " + file_.string(), "EIniFileException");
}

void IniFile::WriteInteger(const std::string& section, const std::string& key, int value) {
  WriteText(section, key, std::to_string(value));
}

void IniFile::WriteFlag(const std::string& section, const std::string& key, bool value) {
  WriteText(section, key, value ? "T" : "F");
}

std::vector<CompanyPort> ReadCompanyPorts(const IniFile& ini, int count) {
  std::vector<CompanyPort> ports;
  for (int n = 1; n <= count; ++n)
    ports.push_back({ini.ReadInteger("Portas", "Porta_" + std::to_string(n), 10165 + n),
                     ini.ReadInteger("Portas", "CodigoEmpresa_" + std::to_string(n), 0)});
  return ports;
}

int ConfigurationInteger(const std::string& text, int default_value) {
  std::string_view rest = TrimLeft(text);
  bool negative = false;
  if (!rest.empty() && (rest.front() == '-' || rest.front() == '+')) {
    negative = rest.front() == '-';
    rest.remove_prefix(1);
  }
  int base = 10;
  for (std::string_view prefix : {"0x", "0X", "$", "x", "X"}) {
    if (rest.substr(0, prefix.size()) == prefix) {
      base = 16;
      rest.remove_prefix(prefix.size());
      break;
    }
  }
  if (rest.empty() || rest.front() == '-' || rest.front() == '+') return default_value;
  std::uint64_t magnitude = 0;
  const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), magnitude, base);
  if (error != std::errc() || end != rest.data() + rest.size()) return default_value;
  const std::int64_t value = negative ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
  if (magnitude > (std::uint64_t{1} << 31) || value > INT32_MAX || value < INT32_MIN) return default_value;
  return static_cast<int>(value);
}

TLogLevel ConfigurationLevel(const std::string& text, TLogLevel current) {
  if (text.empty() || text == "stError") return stError;
  if (text == "stDebug") return stDebug;
  if (text == "stWarning") return stWarning;
  return current;
}

}  // namespace qit
