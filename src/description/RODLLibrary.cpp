#include "description/RODLLibrary.h"

#include <fmt/format.h>

#include <algorithm>
#include <pugixml.hpp>

#include "common/Errors.h"
#include "common/Resources.h"
#include "common/Text.h"

namespace qit {

namespace {

std::string Attribute(const pugi::xml_node& node, const char* name) { return node.attribute(name).value(); }

std::string Documentation(const pugi::xml_node& node) { return node.child("Documentation").text().get(); }

// The children named item below the child named list: <Services><Service/>...</Services>.
template <typename Read>
auto ReadList(const pugi::xml_node& node, const char* list, const char* item, Read read) {
  std::vector<decltype(read(pugi::xml_node()))> result;
  for (const pugi::xml_node& child : node.child(list).children(item)) result.push_back(read(child));
  return result;
}

TRODLOperation ReadOperation(const pugi::xml_node& node) {
  return {Attribute(node, "Name"), Attribute(node, "UID"), Documentation(node),
          ReadList(node, "Parameters", "Parameter", [](const pugi::xml_node& parameter) {
            return TRODLParameter{Attribute(parameter, "Name"), Attribute(parameter, "DataType"),
                                  Attribute(parameter, "Flag")};
          })};
}

TRODLService ReadService(const pugi::xml_node& node) {
  return {Attribute(node, "Name"),
          Attribute(node, "UID"),
          Attribute(node, "Ancestor"),
          SameText(Attribute(node, "Abstract"), "1"),
          Documentation(node),
          ReadList(node, "Interfaces", "Interface", [](const pugi::xml_node& interface) {
            return TRODLInterface{Attribute(interface, "Name"), Attribute(interface, "UID"), Documentation(interface),
                                  ReadList(interface, "Operations", "Operation", ReadOperation)};
          })};
}

TRODLStruct ReadStruct(const pugi::xml_node& node) {
  return {Attribute(node, "Name"), Attribute(node, "UID"), Attribute(node, "AutoCreateParams"), Documentation(node),
          ReadList(node, "Elements", "Element", [](const pugi::xml_node& element) {
            return TRODLElement{Attribute(element, "Name"), Attribute(element, "DataType")};
          })};
}

TRODLArray ReadArray(const pugi::xml_node& node) {
  return {Attribute(node, "Name"), Attribute(node, "UID"), Documentation(node),
          Attribute(node.child("ElementType"), "DataType")};
}

template <typename Item>
bool HasName(const std::vector<Item>& items, std::string_view name) {
  return std::any_of(items.begin(), items.end(), [&](const Item& item) { return SameText(item.Name, name); });
}

}  // namespace

const TRODLParameter* TRODLOperation::Result() const {
  for (const TRODLParameter& parameter : Parameters)
    if (SameText(parameter.Flag, "Result")) return &parameter;
  return nullptr;
}

const TRODLService* TRODLLibrary::FindService(std::string_view name) const {
  for (const TRODLService& service : Services)
    if (SameText(service.Name, name)) return &service;
  return nullptr;
}

bool TRODLLibrary::IsStruct(std::string_view type_name) const { return HasName(Structs, type_name); }

bool TRODLLibrary::IsArray(std::string_view type_name) const { return HasName(Arrays, type_name); }

TRODLLibrary ReadRODLLibrary(std::string_view document) {
  pugi::xml_document xml;
  const pugi::xml_parse_result parsed = xml.load_buffer(document.data(), document.size());
  if (!parsed) throw Exception(fmt::format("Invalid interface definition: {}", parsed.description()));
  const pugi::xml_node library = xml.document_element();
  if (std::string_view(library.name()) != "Library")
    throw Exception("Invalid interface definition: the root element is not Library");
  return {Attribute(library, "Name"),
          Attribute(library, "UID"),
          Attribute(library, "Version"),
          Documentation(library),
          Attribute(library, "TargetNamespace"),
          ReadList(library, "Services", "Service", ReadService),
          ReadList(library, "Structs", "Struct", ReadStruct),
          ReadList(library, "Arrays", "Array", ReadArray)};
}

TRODLLibrary ReadStoredRODLLibrary() { return ReadRODLLibrary(FindResource("RODLFILE")); }

}  // namespace qit
