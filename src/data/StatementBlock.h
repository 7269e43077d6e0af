#pragma once

#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include <firebird/Interface.h>

namespace qit {

// A character set of the database, as a block's text parameters are declared in it.
struct CharacterSet {
  std::string name;
  unsigned bytes_per_character = 1;
};
// By the identifier the server describes text markers with.
using CharacterSets = std::map<unsigned, CharacterSet>;

// The query that reads a database's character sets into CharacterSets (id, name, bytes per
// character).
extern const char* const kCharacterSetsQuery;

// One statement of a block: its text as written, markers by name or "?", the server's
// description of those markers from preparing that text on its own, and whether the block
// returns the number of rows it changed.
struct BlockStatement {
  std::string_view sql;
  Firebird::IMessageMetadata* markers = nullptr;
  bool count = false;
};

// The text of one EXECUTE BLOCK that runs `statements` in order: one input parameter per
// marker, declared with the type the server described for it, so that a value converts to
// what it would have converted to for the statement on its own, and each statement's markers
// renamed to its parameters. The counted statements' changed rows come back as one row of
// BIGINT columns, in order. The server runs the block as one statement: it writes all of its
// statements or, failing, none. nullopt when a marker's described type cannot be declared
// (a marker whose type the server left open, or an unknown character set).
std::optional<std::string> BlockText(std::span<const BlockStatement> statements, const CharacterSets& sets);

}  // namespace qit
