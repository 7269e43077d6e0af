#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qit {

// How a statement variant runs: its text as SQL, or its text as the name of a stored
// procedure whose call is built from the procedure's declared parameters.
enum class StatementType { stSQL = 0, stStoredProcedure = 1, stAutoSQL = 2 };

// Direction of a parameter.
enum class ParamType { daptUnknown = 0, daptInput = 1, daptOutput = 2, daptInputOutput = 3, daptResult = 4 };

// Declared type of a parameter or field (the values the catalogue uses). Descriptive only:
// a parameter sends the value its caller set, a field reads what the column holds.
enum class DataType { datUnknown = 0, datString = 1, datDateTime = 2, datFloat = 3, datInteger = 6, datLargeInt = 7 };

struct ParamDefinition {
  std::string Name;
  qit::DataType DataType = qit::DataType::datUnknown;
  int Size = 0;
  std::string Value;
  qit::ParamType ParamType = qit::ParamType::daptInput;
};

struct ColumnMapping {
  std::string DatasetField;
  std::string TableField;
};

// One variant of a statement; the variant used is chosen by the connection it runs on.
struct StatementDefinition {
  std::string Connection;
  std::string ConnectionType;
  bool Default = false;
  std::string Name;
  std::string SQL;
  qit::StatementType StatementType = qit::StatementType::stSQL;
  std::vector<ColumnMapping> ColumnMappings;
};

struct FieldDefinition {
  std::string Name;
  qit::DataType DataType = qit::DataType::datUnknown;
  int Size = 0;
};

struct DatasetDefinition {
  std::vector<ParamDefinition> Params;
  std::vector<StatementDefinition> Statements;
  std::string Name;
  std::vector<FieldDefinition> Fields;
};

struct CommandDefinition {
  std::vector<ParamDefinition> Params;
  std::vector<StatementDefinition> Statements;
  std::string Name;
};

struct Catalogue {
  std::vector<DatasetDefinition> Datasets;
  std::vector<CommandDefinition> Commands;
};

// Reads a catalogue document: <Schema> with <Datasets> and <Commands>; SQL texts are taken
// byte for byte. A malformed document or an unknown enumeration value raises EDatabaseError.
Catalogue ParseCatalogue(std::string_view xml);

}  // namespace qit
