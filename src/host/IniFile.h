#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "common/FileLayer.h"
#include "common/PosixFileLayer.h"
#include "logging/VoradaLogger.h"

namespace qit {

// The INI configuration file. A line "[name]" opens a section; a line "key=value" inside a
// section is a key (the first "=" separates); lines beginning with ";" or "#" are comments.
// Section and key names match in any letter case, names and values are trimmed, and when a
// key appears more than once (also across repeated sections of one name) its first
// occurrence counts. Lines end in CR LF, LF or CR; any other byte, a NUL included, is just
// part of its line. A missing or unreadable file reads as empty.
//
// A write changes the file at once and keeps every other byte of it: the value of the key's
// first occurrence is replaced where it stands; a missing key is added after the last entry
// of the first section of that name (or right after its header); a missing section is added
// at the end of the file. New lines end as the file's first line does (LF in a new file),
// and a last line without a line end gets one before a line is added after it. The file is
// replaced whole through a temporary file in its folder (synced, then renamed over it), so
// a crash leaves the old or the new file, never a mix; the replacement keeps the file's
// permission bits, and a symbolic link keeps pointing at the file it names.
class IniFile {
 public:
  // The file is written through `files` (the real files unless a test gives others).
  explicit IniFile(std::filesystem::path file, FileLayer& files = PosixFiles());

  // The value of a key, trimmed and cut to 2047 characters; `default_value` when the
  // section or the key is missing.
  std::string ReadText(const std::string& section, const std::string& key, const std::string& default_value) const;
  int ReadInteger(const std::string& section, const std::string& key, int default_value) const;
  // Only exactly "T" is true; the default applies before the comparison.
  bool ReadFlag(const std::string& section, const std::string& key, bool default_value) const;

  // Raises EIniFileException "Unable to write to <file>" when the file cannot be written,
  // and "Invalid configuration entry ..." for a name or value that would not read back as
  // written (line breaks or NUL bytes, "=" in a key, "]" in a section, an empty name, a key
  // beginning with ";", "#" or "["); the file and what this object reads stay unchanged.
  void WriteText(const std::string& section, const std::string& key, const std::string& value);
  void WriteInteger(const std::string& section, const std::string& key, int value);
  void WriteFlag(const std::string& section, const std::string& key, bool value);

 private:
  void Save(const std::string& text) const;

  std::filesystem::path file_;
  FileLayer& files_;
  std::string text_;  // the file's bytes, as last read or written
  // The file exists but could not be read: writing would replace content never seen.
  bool unreadable_ = false;
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
