#include "data/Catalogue.h"

#include <array>
#include <utility>

#include <fmt/format.h>
#include <pugixml.hpp>

#include "common/Text.h"
#include "data/DataErrors.h"
#include "data/EnumNames.h"

namespace qit {

namespace {

// An attribute left out takes the fallback; one that names no value is an error.
template <class Enum, std::size_t N>
Enum EnumAttribute(const std::array<std::pair<std::string_view, Enum>, N>& names, const pugi::xml_node& node,
                   const char* attribute, Enum fallback) {
  const std::string_view text = node.attribute(attribute).value();
  if (text.empty()) return fallback;
  if (const std::optional<Enum> value = EnumByName(names, text)) return *value;
  throw EDatabaseError(fmt::format("Invalid value \"{}\" in the statement catalogue", text));
}

constexpr std::array<std::pair<std::string_view, StatementType>, 3> kStatementTypes{{
    {"stSQL", StatementType::stSQL},
    {"stStoredProcedure", StatementType::stStoredProcedure},
    {"stAutoSQL", StatementType::stAutoSQL},
}};

constexpr std::array<std::pair<std::string_view, ParamType>, 5> kParamTypes{{
    {"daptUnknown", ParamType::daptUnknown},
    {"daptInput", ParamType::daptInput},
    {"daptOutput", ParamType::daptOutput},
    {"daptInputOutput", ParamType::daptInputOutput},
    {"daptResult", ParamType::daptResult},
}};

constexpr std::array<std::pair<std::string_view, DataType>, 6> kDataTypes{{
    {"datUnknown", DataType::datUnknown},
    {"datString", DataType::datString},
    {"datDateTime", DataType::datDateTime},
    {"datFloat", DataType::datFloat},
    {"datInteger", DataType::datInteger},
    {"datLargeInt", DataType::datLargeInt},
}};

int SizeOf(const pugi::xml_node& node) { return ParseInt32(node.attribute("Size").value()).value_or(0); }

std::vector<ParamDefinition> ReadParams(const pugi::xml_node& node) {
  std::vector<ParamDefinition> params;
  for (const pugi::xml_node param : node.child("Params").children("Param")) {
    params.push_back({.Name = param.attribute("Name").value(),
                      .DataType = EnumAttribute(kDataTypes, param, "DataType", DataType::datUnknown),
                      .Size = SizeOf(param),
                      .Value = param.attribute("Value").value(),
                      .ParamType = EnumAttribute(kParamTypes, param, "ParamType", ParamType::daptInput)});
  }
  return params;
}

std::vector<StatementDefinition> ReadStatements(const pugi::xml_node& node) {
  std::vector<StatementDefinition> statements;
  for (const pugi::xml_node statement : node.child("Statements").children("Statement")) {
    StatementDefinition definition{
        .Connection = statement.attribute("Connection").value(),
        .ConnectionType = statement.attribute("ConnectionType").value(),
        .Default = SameText(statement.attribute("Default").value(), "True"),
        .Name = statement.attribute("Name").value(),
        .SQL = statement.child("SQL").child_value(),
        .StatementType =
            EnumAttribute(kStatementTypes, statement, "StatementType", StatementType::stSQL),
        .ColumnMappings = {}};
    for (const pugi::xml_node mapping : statement.child("ColumnMappings").children("ColumnMapping"))
      definition.ColumnMappings.push_back(
          {.DatasetField = mapping.attribute("DatasetField").value(), .TableField = mapping.attribute("TableField").value()});
    statements.push_back(std::move(definition));
  }
  return statements;
}

}  // namespace

Catalogue ParseCatalogue(std::string_view xml) {
  pugi::xml_document document;
  const pugi::xml_parse_result result = document.load_buffer(xml.data(), xml.size());
  if (!result)
    throw EDatabaseError(fmt::format("The statement catalogue is not valid XML: {} at offset {}",
                                     result.description(), result.offset));
  const pugi::xml_node root = document.child("Schema");
  Catalogue catalogue;
  for (const pugi::xml_node node : root.child("Datasets").children("Dataset")) {
    DatasetDefinition dataset{.Params = ReadParams(node),
                              .Statements = ReadStatements(node),
                              .Name = node.attribute("Name").value(),
                              .Fields = {}};
    for (const pugi::xml_node field : node.child("Fields").children("Field"))
      dataset.Fields.push_back({.Name = field.attribute("Name").value(),
                                .DataType = EnumAttribute(kDataTypes, field, "DataType", DataType::datUnknown),
                                .Size = SizeOf(field)});
    catalogue.Datasets.push_back(std::move(dataset));
  }
  for (const pugi::xml_node node : root.child("Commands").children("Command"))
    catalogue.Commands.push_back(
        {.Params = ReadParams(node), .Statements = ReadStatements(node), .Name = node.attribute("Name").value()});
  return catalogue;
}

}  // namespace qit
