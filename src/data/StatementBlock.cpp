#include "data/StatementBlock.h"

#include <fmt/format.h>

#include "data/FbClient.h"
#include "data/SqlMarkers.h"

namespace qit {

const char* const kCharacterSetsQuery =
    "SELECT RDB$CHARACTER_SET_ID, TRIM(RDB$CHARACTER_SET_NAME), RDB$BYTES_PER_CHARACTER FROM RDB$CHARACTER_SETS";

namespace {

std::optional<std::string> TextType(std::string_view type, unsigned length, unsigned charset,
                                    const CharacterSets& sets) {
  const auto set = sets.find(charset);
  if (set == sets.end() || set->second.bytes_per_character == 0) return std::nullopt;
  const unsigned characters = length / set->second.bytes_per_character;
  if (characters == 0) return std::nullopt;
  return fmt::format("{}({}) CHARACTER SET {}", type, characters, set->second.name);
}

// An exact numeric of the given storage, or the plain integer type without a scale.
std::string Numeric(std::string_view integer, int precision, int scale) {
  if (scale == 0) return std::string(integer);
  return fmt::format("NUMERIC({}, {})", precision, -scale);
}

// The declaration of the marker at `index` as a block parameter's type.
std::optional<std::string> Declaration(Firebird::IMessageMetadata* markers, unsigned index, const CharacterSets& sets) {
  fb::Status status;
  const unsigned type = markers->getType(&status, index) & ~1u;
  const int scale = markers->getScale(&status, index);
  switch (type) {
    case SQL_TEXT:
      return TextType("CHAR", markers->getLength(&status, index), markers->getCharSet(&status, index), sets);
    case SQL_VARYING:
      return TextType("VARCHAR", markers->getLength(&status, index), markers->getCharSet(&status, index), sets);
    case SQL_SHORT:
      return Numeric("SMALLINT", 4, scale);
    case SQL_LONG:
      return Numeric("INTEGER", 9, scale);
    case SQL_INT64:
      return Numeric("BIGINT", 18, scale);
    case SQL_FLOAT:
      return "FLOAT";
    case SQL_DOUBLE:
    case SQL_D_FLOAT:
      return "DOUBLE PRECISION";
    case SQL_TIMESTAMP:
      return "TIMESTAMP";
    case SQL_TYPE_DATE:
      return "DATE";
    case SQL_TYPE_TIME:
      return "TIME";
    case SQL_BOOLEAN:
      return "BOOLEAN";
    case SQL_BLOB: {
      const int subtype = markers->getSubType(&status, index);
      if (subtype != 1) return fmt::format("BLOB SUB_TYPE {}", subtype);
      const auto set = sets.find(markers->getCharSet(&status, index));
      if (set == sets.end()) return std::nullopt;
      return fmt::format("BLOB SUB_TYPE TEXT CHARACTER SET {}", set->second.name);
    }
    default:
      return std::nullopt;
  }
}

// The statement without the blanks and the terminator it may end with.
std::string_view Body(std::string_view sql) {
  while (!sql.empty() && (sql.back() == ';' || sql.back() == ' ' || sql.back() == '\t' || sql.back() == '\r' ||
                          sql.back() == '\n'))
    sql.remove_suffix(1);
  return sql;
}

}  // namespace

std::optional<std::string> BlockText(std::span<const BlockStatement> statements, const CharacterSets& sets) {
  std::string parameters;
  std::string returns;
  std::string body;
  fb::Status status;
  for (std::size_t i = 0; i < statements.size(); ++i) {
    const std::string prefix = fmt::format("Q{}_", i + 1);
    const unsigned count = statements[i].markers->getCount(&status);
    for (unsigned m = 0; m < count; ++m) {
      const std::optional<std::string> type = Declaration(statements[i].markers, m, sets);
      if (!type) return std::nullopt;
      if (!parameters.empty()) parameters += ", ";
      fmt::format_to(std::back_inserter(parameters), "{}{} {} = ?", prefix, m + 1, *type);
    }
    body += RenameMarkers(Body(statements[i].sql), prefix);
    body += ";\n";
    if (statements[i].count) {
      fmt::format_to(std::back_inserter(returns), "{}R{} BIGINT", returns.empty() ? "" : ", ", i + 1);
      fmt::format_to(std::back_inserter(body), "R{} = ROW_COUNT;\n", i + 1);
    }
  }
  // With results the block is a query of one row.
  if (!returns.empty()) body += "SUSPEND;\n";
  return fmt::format("EXECUTE BLOCK {}{}AS\nBEGIN\n{}END", parameters.empty() ? "" : "(" + parameters + ")\n",
                     returns.empty() ? "" : "RETURNS (" + returns + ")\n", body);
}

}  // namespace qit
