#include "soap/XmlNodes.h"

#include "common/Text.h"
#include "common/XmlLoadError.h"

namespace qit {

namespace {

// The node itself when it is an element, else its first following sibling that is one.
pugi::xml_node ElementFrom(pugi::xml_node node) {
  while (node && node.type() != pugi::node_element) node = node.next_sibling();
  return node;
}

bool IsText(const pugi::xml_node& node) {
  return node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata;
}

}  // namespace

std::string_view LocalPart(std::string_view qualified_name) {
  const std::size_t colon = qualified_name.find(':');
  return colon == std::string_view::npos ? qualified_name : qualified_name.substr(colon + 1);
}

std::string_view LocalName(const pugi::xml_node& node) { return LocalPart(node.name()); }

std::string NamespaceUri(const pugi::xml_node& node) {
  const std::string_view name = node.name();
  const std::size_t colon = name.find(':');
  const std::string declaration =
      colon == std::string_view::npos ? std::string("xmlns") : "xmlns:" + std::string(name.substr(0, colon));
  for (pugi::xml_node scope = node; scope.type() == pugi::node_element; scope = scope.parent())
    if (const pugi::xml_attribute attribute = scope.attribute(declaration.c_str())) return attribute.value();
  return {};
}

pugi::xml_node FirstChildElement(const pugi::xml_node& parent) { return ElementFrom(parent.first_child()); }

pugi::xml_node NextSiblingElement(const pugi::xml_node& node) { return ElementFrom(node.next_sibling()); }

pugi::xml_node FindChildElement(const pugi::xml_node& parent, std::string_view name, bool ignore_case) {
  for (pugi::xml_node child = FirstChildElement(parent); child; child = NextSiblingElement(child)) {
    const std::string_view local = LocalName(child);
    if (ignore_case ? SameText(local, name) : local == name) return child;
  }
  return {};
}

std::optional<std::string_view> SingleText(const pugi::xml_node& node) {
  const pugi::xml_node first = node.first_child();
  if (!first) return std::string_view();
  if (first.next_sibling() || !IsText(first)) return std::nullopt;
  return std::string_view(first.value());
}

std::string TextContent(const pugi::xml_node& node) {
  if (const std::optional<std::string_view> single = SingleText(node)) return std::string(*single);
  // Walks the subtree without recursion: a request may nest elements arbitrarily deep.
  std::string text;
  for (pugi::xml_node current = node.first_child(); current;) {
    if (IsText(current)) text += current.value();
    if (current.first_child()) {
      current = current.first_child();
      continue;
    }
    while (current != node && !current.next_sibling()) current = current.parent();
    if (current == node) break;
    current = current.next_sibling();
  }
  return text;
}

std::optional<std::string> LoadXml(pugi::xml_document& document, std::string_view text) {
  const pugi::xml_parse_result result =
      document.load_buffer(text.data(), text.size(), pugi::parse_default | pugi::parse_ws_pcdata);
  if (result) return std::nullopt;
  return XmlLoadError(text, result.offset, result.description());
}

std::string SaveXml(const pugi::xml_document& document) {
  struct StringWriter : pugi::xml_writer {
    std::string text;
    void write(const void* data, std::size_t size) override { text.append(static_cast<const char*>(data), size); }
  } writer;
  document.save(writer, "", pugi::format_raw | pugi::format_no_declaration, pugi::encoding_utf8);
  return std::move(writer.text);
}

}  // namespace qit
