#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "logging/VoradaLogger.h"

namespace qit {

// The INI configuration file: sections and keys match in any letter case, values are
// trimmed, and every write goes to the file at once, keeping the other sections, keys and
// comments of the file as they are. A missing or unreadable file reads as empty.
class IniFile {
 public:
  explicit IniFile(std::filesystem::path file);
  ~IniFile();

  // The value of a key, trimmed and cut to 2047 characters; `default_value` when the
  // section or the key is missing.
  std::string ReadText(const std::string& section, const std::string& key, const std::string& default_value) const;
  int ReadInteger(const std::string& section, const std::string& key, int default_value) const;
  // Only exactly "T" is true; the default applies before the comparison.
  bool ReadFlag(const std::string& section, const std::string& key, bool default_value) const;

  // Raises "Unable to write to <file>" when the file cannot be written.
  void WriteText(const std::string& section, const std::string& key, const std::string& value);
  void WriteInteger(const std::string& section, const std::string& key, int value);
  void WriteFlag(const std::string& section, const std::string& key, bool value);

 private:
  struct Ini;
  std::filesystem::path file_;
  std::unique_ptr<Ini> ini_;
};

// One company port of [Portas]: Porta_N (default 10165 + N) and CodigoEmpresa_N (default 0).
struct CompanyPort {
  int port = 0;
  int company_code = 0;
};
// The company ports 1..count, in order.
std::vector<CompanyPort> ReadCompanyPorts(const IniFile& ini, int count);

// The integer rule of the configuration: decimal, or hexadecimal after "0x", "0X", "$",
// "x" or "X", with an optional sign and blanks before; a value that does not parse or does
// not fit a 32-bit signed integer gives `default_value`.
int ConfigurationInteger(const std::string& text, int default_value);

// The level rule of [Log] Level, compared exactly: "" or "stError", "stDebug", "stWarning";
// any other text leaves `current`.
TLogLevel ConfigurationLevel(const std::string& text, TLogLevel current);

}  // namespace qit
