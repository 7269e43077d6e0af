#include "host/IniFile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <optional>
#include <string_view>
#include <system_error>

#include "common/Errors.h"
#include "common/Text.h"

namespace qit {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kMaxValueLength = 2047;
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr std::string_view kLineBreakOrNul("\r\n\0", 3);

// One line of the file: its text is [begin, content_end), its line end [content_end, end)
// (empty only on a last line that has none).
struct Line {
  std::size_t begin;
  std::size_t content_end;
  std::size_t end;
};

// The lines of the file, split at CR LF, LF or CR. A byte order mark before the first line
// belongs to no line, so it neither hides the first section nor goes away on a write.
std::vector<Line> SplitLines(std::string_view text) {
  std::vector<Line> lines;
  std::size_t at = text.substr(0, kByteOrderMark.size()) == kByteOrderMark ? kByteOrderMark.size() : 0;
  while (at < text.size()) {
    const std::size_t stop = text.find_first_of("\r\n", at);
    if (stop == std::string_view::npos) {
      lines.push_back({at, text.size(), text.size()});
      break;
    }
    const bool cr_lf = text[stop] == '\r' && stop + 1 < text.size() && text[stop + 1] == '\n';
    lines.push_back({at, stop, stop + (cr_lf ? 2 : 1)});
    at = lines.back().end;
  }
  return lines;
}

std::string_view Content(std::string_view text, const Line& line) {
  return text.substr(line.begin, line.content_end - line.begin);
}

// The trimmed name of a section header "[name]"; nothing for any other line.
std::optional<std::string_view> SectionName(std::string_view content) {
  const std::string_view line = Trim(content);
  if (line.empty() || line.front() != '[') return std::nullopt;
  const std::size_t close = line.find(']');
  if (close == std::string_view::npos) return std::nullopt;
  return Trim(line.substr(1, close - 1));
}

bool IsComment(std::string_view content) {
  const std::string_view line = TrimLeft(content);
  return !line.empty() && (line.front() == ';' || line.front() == '#');
}

// The trimmed name of a key line "key=value"; nothing for blank lines, comments and lines
// without "=" or without a name.
std::optional<std::string_view> KeyName(std::string_view content) {
  if (IsComment(content)) return std::nullopt;
  const std::size_t equals = content.find('=');
  if (equals == std::string_view::npos) return std::nullopt;
  const std::string_view name = Trim(content.substr(0, equals));
  if (name.empty()) return std::nullopt;
  return name;
}

// Where a key is, or where it would go.
struct Place {
  std::optional<std::size_t> key;  // the line of the key's first occurrence
  // The line a new key is added after: the last entry of the first section of that name,
  // or its header when it has none; nothing when the section is missing.
  std::optional<std::size_t> insert_after;
};

Place Find(std::string_view text, const std::vector<Line>& lines, std::string_view section, std::string_view key) {
  Place place;
  bool inside = false;         // in a section of that name
  bool inside_first = false;   // in the first of them
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string_view content = Content(text, lines[i]);
    if (const auto name = SectionName(content)) {
      inside = SameText(*name, section);
      inside_first = inside && !place.insert_after;
      if (inside_first) place.insert_after = i;
      continue;
    }
    if (!inside) continue;
    if (const auto name = KeyName(content); name && SameText(*name, key)) {
      place.key = i;
      break;
    }
    if (inside_first && !Trim(content).empty() && !IsComment(content)) place.insert_after = i;
  }
  return place;
}

// The line end new lines take: the file's first one, LF for a file that has none.
std::string LineEnd(std::string_view text, const std::vector<Line>& lines) {
  for (const Line& line : lines)
    if (line.end > line.content_end) return std::string(text.substr(line.content_end, line.end - line.content_end));
  return "\n";
}

// A section, key and value that keep the file's structure: a line break in them would start
// a line (even a section) of the caller's choosing, a NUL byte has no place in a text file,
// and a name with these characters or blanks around it would not be found again.
bool IsWritableEntry(std::string_view section, std::string_view key, std::string_view value) {
  const auto is_name = [](std::string_view name) {
    return !name.empty() && Trim(name) == name && name.find_first_of(kLineBreakOrNul) == std::string_view::npos;
  };
  return is_name(section) && section.find(']') == std::string_view::npos && is_name(key) &&
         key.find('=') == std::string_view::npos && key.front() != ';' && key.front() != '#' && key.front() != '[' &&
         value.find_first_of(kLineBreakOrNul) == std::string_view::npos;
}

}  // namespace

IniFile::IniFile(fs::path file, FileLayer& files) : file_(std::move(file)), files_(files) {
  // A missing file, or anything that is not a regular file, simply reads as empty.
  std::error_code error;
  if (!fs::is_regular_file(file_, error)) return;
  std::ifstream in(file_, std::ios::binary);
  if (in) text_.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (!in || in.bad()) {
    text_.clear();
    unreadable_ = true;
  }
}

std::string IniFile::ReadText(const std::string& section, const std::string& key,
                              const std::string& default_value) const {
  const std::vector<Line> lines = SplitLines(text_);
  const Place place = Find(text_, lines, section, key);
  if (!place.key) return default_value;
  const std::string_view content = Content(text_, lines[*place.key]);
  std::string value(Trim(content.substr(content.find('=') + 1)));
  if (value.size() > kMaxValueLength) value.resize(kMaxValueLength);
  return value;
}

int IniFile::ReadInteger(const std::string& section, const std::string& key, int default_value) const {
  // A missing key and a value that does not parse both give the default.
  return ConfigurationInteger(ReadText(section, key, ""), default_value);
}

bool IniFile::ReadFlag(const std::string& section, const std::string& key, bool default_value) const {
  return ReadText(section, key, default_value ? "T" : "F") == "T";
}

void IniFile::WriteText(const std::string& section, const std::string& key, const std::string& value) {
  if (!IsWritableEntry(section, key, value))
    throw Exception("Invalid configuration entry [" + OneLine(section) + "] " + OneLine(key), "EIniFileException");
  const std::vector<Line> lines = SplitLines(text_);
  const Place place = Find(text_, lines, section, key);
  const std::string line_end = LineEnd(text_, lines);
  std::string text;
  if (place.key) {
    // The value is replaced where it stands; the key, its spelling and the blanks around
    // "=" stay.
    const Line& line = lines[*place.key];
    const std::string_view content = Content(text_, line);
    std::size_t value_begin = content.find('=') + 1;
    const std::string_view old_value = content.substr(value_begin);
    if (!Trim(old_value).empty()) value_begin += old_value.size() - TrimLeft(old_value).size();
    text.reserve(text_.size() + value.size());
    text.append(text_, 0, line.begin + value_begin).append(value).append(text_, line.content_end);
  } else {
    std::size_t at = text_.size();
    std::string added;
    const Line* before = place.insert_after ? &lines[*place.insert_after] : (lines.empty() ? nullptr : &lines.back());
    if (place.insert_after) at = before->end;
    if (before != nullptr && before->end == before->content_end) added = line_end;  // a last line without an end
    if (!place.insert_after) added += "[" + section + "]" + line_end;
    added += key + "=" + value + line_end;
    text = text_;
    text.insert(at, added);
  }
  Save(text);
  text_ = std::move(text);
}

void IniFile::Save(const std::string& text) const {
  const Exception unable("Unable to write to " + file_.string(), "EIniFileException");
  // Content that was never read would be lost with the rewrite.
  if (unreadable_) throw unable;

  // Through a symbolic link, the file it names is the one replaced, and the link stays.
  std::error_code error;
  fs::path target = fs::canonical(file_, error);
  if (error) target = file_;
  struct stat existing {};
  const bool exists = ::stat(target.c_str(), &existing) == 0;
  if (exists && (!S_ISREG(existing.st_mode) || ::access(target.c_str(), W_OK) != 0)) throw unable;

  // Replaced whole, so that a crash leaves the old file or the new one, never a mix. A
  // folder that could not be synced afterwards is let be: the new content is in place, and
  // what a crash could bring back is the old file, which the next start writes back again.
  try {
    [[maybe_unused]] const std::error_code folder_not_synced = files_.ReplaceContent(target, text);
  } catch (const std::system_error&) {
    throw unable;
  }
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
