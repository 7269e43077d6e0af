#pragma once

#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "common/Settings.h"

namespace qit {

class IniFile;

// The port of the main listener when the file names none.
inline constexpr int kDefaultMainPort = 10165;

// Whether the start-up writes a key back to the configuration file (so that a fresh file
// shows it with its value) or only reads it.
enum class Storage { kWrittenBack, kReadOnly };

// An integer key. kNonNegative: a negative value in the file gives the default (0 usually
// means no limit). A default that depends on keys listed before it comes from
// `derived_default`.
struct IntegerSetting {
  enum class Bounds { kAny, kNonNegative };
  int Settings::*field;
  int default_value = 0;
  Bounds bounds = Bounds::kAny;
  int (*derived_default)(const Settings& earlier) = nullptr;
};
// A flag: exactly "T" is true.
struct FlagSetting {
  bool Settings::*field;
  bool default_value = false;
};
// A text, trimmed; an empty one gives the default.
struct TextSetting {
  std::string Settings::*field;
  std::string_view default_value;
};

// One key of the configuration file and the member of Settings it fills.
struct SettingDefinition {
  std::string_view section;
  std::string_view key;
  Storage storage;
  std::variant<IntegerSetting, FlagSetting, TextSetting> value;
};

// Every key of the configuration file but the per-port ones of [Portas], in the order the
// keys written back are added to a file that lacks them.
std::span<const SettingDefinition> SettingDefinitions();

// Every setting at its default: what a missing file gives.
Settings DefaultSettings();
// Every setting as the file gives it, by the table's rules.
Settings ReadSettings(const IniFile& ini);
// Writes the keys marked kWrittenBack with their values, in the table's order. Raises what
// IniFile raises when the file cannot be written.
void WriteBackSettings(IniFile& ini, const Settings& settings);

}  // namespace qit
