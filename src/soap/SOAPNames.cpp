#include "soap/SOAPNames.h"

#include <string_view>

namespace qit {

namespace {

constexpr std::string_view kSeparator = "___";

std::string_view Before(std::string_view text, std::size_t pos) {
  return pos == std::string_view::npos ? text : text.substr(0, pos);
}
std::string_view After(std::string_view text, std::size_t pos, std::size_t skip = 1) {
  return pos == std::string_view::npos ? text : text.substr(pos + skip);
}

// "Interface___Operation": true and both names set when the name has the separator.
bool SplitMessageElementName(std::string_view local_name, TSOAPNames& names) {
  const std::size_t separator = local_name.find(kSeparator);
  if (separator == std::string_view::npos) return false;
  names.interface_name = local_name.substr(0, separator);
  names.message_name = local_name.substr(separator + kSeparator.size());
  return true;
}

void FromSOAPAction(std::string_view action, TSOAPNames& names) {
  if (action.starts_with('"')) action.remove_prefix(1);
  if (action.ends_with('"')) action.remove_suffix(1);
  action = After(action, action.find(':'));
  if (action.find('-') == std::string_view::npos || action.find('#') == std::string_view::npos) return;
  const std::size_t dash = action.find('-');
  names.library_name = action.substr(0, dash);
  action = action.substr(dash + 1);
  const std::size_t hash = action.find('#');
  names.interface_name = Before(action, hash);
  names.message_name = hash == std::string_view::npos ? std::string_view() : action.substr(hash + 1);
}

// The text a "urn:" namespace gives (without "urn:"), or else the message element's first
// attribute; nullopt when neither exists.
std::optional<std::string> NamespaceText(const TSOAPNameSources& sources) {
  for (const std::string* uri : {&sources.message_namespace, &sources.body_namespace, &sources.envelope_namespace})
    if (uri->starts_with("urn:")) return uri->substr(4);
  return sources.first_attribute;
}

void FromNamespace(const TSOAPNameSources& sources, TSOAPNames& names) {
  const std::string text = NamespaceText(sources).value_or(std::string());
  const std::string_view view = text;
  const std::size_t colon = view.find(':');
  const std::size_t start = colon == std::string_view::npos ? 0 : colon + 1;
  const std::size_t dash = view.find('-');
  names.library_name = dash == std::string_view::npos || dash < start ? std::string() : text.substr(start, dash - start);
  names.interface_name = After(view, dash);
  if (names.interface_name.empty() && sources.first_attribute) names.interface_name = *sources.first_attribute;

  if (!SplitMessageElementName(sources.message_local_name, names)) {
    std::string_view message = sources.message_local_name;
    const std::string prefix = names.interface_name + "_";
    if (message.starts_with(prefix)) {
      message.remove_prefix(prefix.size());
      if (message.ends_with("In")) message.remove_suffix(2);
      if (message.ends_with("Out")) message.remove_suffix(3);
    }
    names.message_name = message;
  }
  if (!sources.service_name.empty()) names.interface_name = sources.service_name;
}

}  // namespace

TSOAPNames ResolveSOAPNames(const TSOAPNameSources& sources) {
  TSOAPNames names;
  names.interface_name = sources.service_name;
  if (!sources.soap_action.empty()) {
    FromSOAPAction(sources.soap_action, names);
  } else if (SplitMessageElementName(sources.message_local_name, names)) {
    names.library_name = sources.message_namespace;
  }
  if (names.library_name.empty() || names.interface_name.empty() || names.message_name.empty())
    FromNamespace(sources, names);
  return names;
}

}  // namespace qit
