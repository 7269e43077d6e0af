#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <pugixml.hpp>

namespace qit {

// Namespace-aware reading on top of pugixml, which keeps qualified names as they are
// written: a name's local part, the namespace a prefix stands for, and lookups by local name.

// The part of a qualified name after its ":" ("SOAP-ENV:Body" gives "Body", "tns:T" gives "T").
std::string_view LocalPart(std::string_view qualified_name);
// The local part of an element's name.
std::string_view LocalName(const pugi::xml_node& node);
// The namespace URI of an element: the nearest declaration of its prefix (or of the default
// namespace when it has none) on it or its ancestors; empty when none is declared.
std::string NamespaceUri(const pugi::xml_node& node);
// The first child element whose local name equals name; with ignore_case, letter case is ignored.
pugi::xml_node FindChildElement(const pugi::xml_node& parent, std::string_view name, bool ignore_case);
// The first child that is an element, and the next sibling that is one: walking the elements
// of a parent passes over the text, comments and other nodes between them.
pugi::xml_node FirstChildElement(const pugi::xml_node& parent);
pugi::xml_node NextSiblingElement(const pugi::xml_node& node);
// The text of every text and CDATA node below the node, in document order.
std::string TextContent(const pugi::xml_node& node);
// The same text without a copy, for the usual element that holds one text or CDATA node
// (or nothing); nullopt for any other content, whose text TextContent puts together.
std::optional<std::string_view> SingleText(const pugi::xml_node& node);

// Parses a whole request body. Entities of a document type are never expanded; whitespace
// between elements stays in the tree. On failure the document is empty and the result is
// "Cannot load XML document." with the parser's reason and the line and column (from 1)
// where it stopped, lines separated by CR.
std::optional<std::string> LoadXml(pugi::xml_document& document, std::string_view text);

// The document as UTF-8 text, with the declaration it holds and no formatting whitespace.
std::string SaveXml(const pugi::xml_document& document);

}  // namespace qit
