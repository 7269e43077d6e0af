#include "data/ConnectionFile.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

#include <fmt/format.h>
#include <pugixml.hpp>

#include "common/Errors.h"
#include "common/StrToInt.h"
#include "common/Text.h"
#include "common/XmlLoadError.h"
#include "data/ConnectionManager.h"
#include "data/DataErrors.h"
#include "data/EnumNames.h"

namespace qit {

namespace {

constexpr std::string_view kPropertyLayoutStart = "<TDAConnectionManager>";

constexpr std::array<std::pair<std::string_view, PoolBehaviour>, 3> kPoolBehaviours{{
    {"pbWait", PoolBehaviour::pbWait},
    {"pbRaiseError", PoolBehaviour::pbRaiseError},
    {"pbIgnoreAndReturn", PoolBehaviour::pbIgnoreAndReturn},
}};

constexpr std::array<std::pair<std::string_view, PoolTransactionBehaviour>, 4> kTransactionBehaviours{{
    {"ptNone", PoolTransactionBehaviour::ptNone},
    {"ptRollback", PoolTransactionBehaviour::ptRollback},
    {"ptCommit", PoolTransactionBehaviour::ptCommit},
    {"ptCustom", PoolTransactionBehaviour::ptCustom},
}};

bool ToBoolean(std::string_view text) {
  const std::string_view value = Trim(text);
  if (SameText(value, "True")) return true;
  if (SameText(value, "False")) return false;
  throw EConvertError(fmt::format("'{}' is not a valid boolean value", text));
}

int ToInteger(std::string_view text) {
  if (const std::optional<int> value = ParseInt32(Trim(text))) return *value;
  throw InvalidIntegerError(text);
}

// A text that names none of the values reads as pbWait: waiting is the one behaviour that
// neither loops nor hands out nothing.
PoolBehaviour ToPoolBehaviour(std::string_view text) {
  return EnumByName(kPoolBehaviours, Trim(text)).value_or(PoolBehaviour::pbWait);
}

PoolTransactionBehaviour ToTransactionBehaviour(std::string_view text) {
  if (const auto value = EnumByName(kTransactionBehaviours, Trim(text))) return *value;
  throw EConvertError(fmt::format("'{}' is not a valid pool transaction behaviour", text));
}

pugi::xml_document ParseXml(std::string_view bytes) {
  pugi::xml_document document;
  const pugi::xml_parse_result result = document.load_buffer(bytes.data(), bytes.size());
  if (!result) throw EDatabaseError(XmlLoadError(bytes, result.offset, result.description()));
  return document;
}

ConnectionDefinition ReadDefinition(const pugi::xml_node& node) {
  ConnectionDefinition definition;
  definition.Name = node.child("Name").child_value();
  definition.ConnectionString = node.child("ConnectionString").child_value();
  definition.ConnectionType = node.child("ConnectionType").child_value();
  definition.Description = node.child("Description").child_value();
  if (const pugi::xml_node flag = node.child("Default")) definition.Default = ToBoolean(flag.child_value());
  return definition;
}

// The layout the system's own settings describe: every pool setting, each with its default
// when missing, and the list of definitions.
ConnectionFileSettings ReadDefinitionsLayout(const pugi::xml_node& root) {
  const auto text = [&](const char* name) -> std::optional<std::string_view> {
    const pugi::xml_node node = root.child(name);
    if (!node) return std::nullopt;
    return std::string_view(node.child_value());
  };
  ConnectionFileSettings settings;
  settings.pooling_enabled = text("PoolingEnabled") ? ToBoolean(*text("PoolingEnabled")) : true;
  settings.pool_behaviour = PoolBehaviour::pbWait;
  if (const auto behaviour = text("PoolingBehavior")) {
    const std::string_view name = Trim(*behaviour);
    settings.pool_behaviour = ToPoolBehaviour(name.starts_with("pb") ? std::string(name) : "pb" + std::string(name));
  }
  settings.max_pool_size = text("MaxPoolSize") ? ToInteger(*text("MaxPoolSize")) : 10;
  settings.wait_interval_seconds = text("WaitIntervalSeconds") ? ToInteger(*text("WaitIntervalSeconds")) : 1;
  settings.pool_timeout_seconds = text("PoolTimeoutSeconds") ? ToInteger(*text("PoolTimeoutSeconds")) : 60;

  std::vector<ConnectionDefinition> definitions;
  int position = 0;
  for (const pugi::xml_node child : root.child("Definitions").children()) {
    ++position;
    if (std::string_view(child.name()) != "Definition") continue;
    ConnectionDefinition definition = ReadDefinition(child);
    if (!child.child("Name")) definition.Name = fmt::format("Connection{}", position);
    definitions.push_back(std::move(definition));
  }
  settings.definitions = std::move(definitions);
  return settings;
}

// The layout a generic property writer produces: only the properties present are set.
ConnectionFileSettings ReadPropertyLayout(const pugi::xml_node& root) {
  ConnectionFileSettings settings;
  if (const pugi::xml_node node = root.child("MaxPoolSize")) settings.max_pool_size = ToInteger(node.child_value());
  if (const pugi::xml_node node = root.child("PoolTimeoutSeconds"))
    settings.pool_timeout_seconds = ToInteger(node.child_value());
  if (const pugi::xml_node node = root.child("PoolBehaviour"))
    settings.pool_behaviour = ToPoolBehaviour(node.child_value());
  if (const pugi::xml_node node = root.child("WaitIntervalSeconds"))
    settings.wait_interval_seconds = ToInteger(node.child_value());
  if (const pugi::xml_node node = root.child("Connections")) {
    std::vector<ConnectionDefinition> definitions;
    for (const pugi::xml_node item : node.children())
      if (item.type() == pugi::node_element && StartsWithText(item.name(), "Item"))
        definitions.push_back(ReadDefinition(item));
    settings.definitions = std::move(definitions);
  }
  if (const pugi::xml_node node = root.child("PoolingEnabled")) settings.pooling_enabled = ToBoolean(node.child_value());
  if (const pugi::xml_node node = root.child("PoolTransactionBehaviour"))
    settings.transaction_behaviour = ToTransactionBehaviour(node.child_value());
  return settings;
}

}  // namespace

ConnectionFileSettings ParseConnectionFile(std::string_view bytes) {
  if (bytes.size() < kPropertyLayoutStart.size()) throw EDatabaseError("Stream read error");
  const bool property_layout = bytes.starts_with(kPropertyLayoutStart);
  const pugi::xml_document document = ParseXml(bytes);
  const pugi::xml_node root = document.document_element();
  return property_layout ? ReadPropertyLayout(root) : ReadDefinitionsLayout(root);
}

void ConnectionManager::LoadConnectionFile(const std::filesystem::path& file) {
  std::ifstream stream(file, std::ios::binary);
  if (!stream)
    throw EDatabaseError(fmt::format("Cannot open file \"{}\". {}", file.string(), std::strerror(errno)));
  const std::string bytes{std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
  const ConnectionFileSettings settings = ParseConnectionFile(bytes);

  // The one setting that can be refused goes first, so a refused file changes nothing.
  if (settings.pool_timeout_seconds) SetPoolTimeoutSeconds(*settings.pool_timeout_seconds);
  if (settings.max_pool_size) SetMaxPoolSize(*settings.max_pool_size);
  if (settings.pool_behaviour) SetPoolBehaviour(*settings.pool_behaviour);
  if (settings.wait_interval_seconds) SetWaitIntervalSeconds(*settings.wait_interval_seconds);
  if (settings.definitions) SetConnections(*settings.definitions);
  if (settings.pooling_enabled) SetPoolingEnabled(*settings.pooling_enabled);
  if (settings.transaction_behaviour) SetPoolTransactionBehaviour(*settings.transaction_behaviour);
}

}  // namespace qit
