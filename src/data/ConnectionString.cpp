#include "data/ConnectionString.h"

#include "common/Text.h"

namespace qit {

std::optional<std::string> ConnectionStringParts::Find(std::string_view key) const {
  for (const auto& [name, value] : AuxParams)
    if (SameText(name, key)) return value;
  return std::nullopt;
}

std::string ConnectionStringDriver(std::string_view text) {
  text = Trim(text);
  const std::size_t mark = text.find('?');
  return mark == std::string_view::npos ? std::string() : std::string(Trim(text.substr(0, mark)));
}

ConnectionStringParts ParseConnectionString(std::string_view text) {
  ConnectionStringParts parts;
  text = Trim(text);
  parts.Driver = ConnectionStringDriver(text);
  if (const std::size_t mark = text.find('?'); mark != std::string_view::npos) text.remove_prefix(mark + 1);

  while (!text.empty()) {
    const std::size_t end = text.find(';');
    const std::string_view piece = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (piece.empty()) continue;
    const std::size_t equals = piece.find('=');
    std::string key(piece.substr(0, equals));
    std::string value(equals == std::string_view::npos ? std::string_view() : piece.substr(equals + 1));
    if (SameText(key, "Server")) parts.Server = value;
    else if (SameText(key, "Database")) parts.Database = value;
    else if (SameText(key, "UserID")) parts.UserID = value;
    else if (SameText(key, "Password")) parts.Password = value;
    else if (SameText(key, "AuxDriver")) parts.AuxDriver = value;
    parts.AuxParams.emplace_back(std::move(key), std::move(value));
  }
  return parts;
}

}  // namespace qit
