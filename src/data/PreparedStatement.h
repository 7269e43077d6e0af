#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include <firebird/Interface.h>

#include "data/DbValue.h"
#include "data/FbClient.h"

namespace qit {

// A statement prepared on one attachment: the text it was prepared from, the server's handle,
// the names of its markers in order, and the names of its result columns. It stays usable in
// any transaction of that attachment until the attachment goes away (Invalidate).
class PreparedStatement {
 public:
  PreparedStatement(std::string source, fb::Ref<Firebird::IStatement> statement, std::vector<std::string> markers);

  // The text as its caller wrote it (named markers and all).
  const std::string& Source() const { return source_; }
  const std::vector<std::string>& Markers() const { return markers_; }
  // The server's description of the markers.
  Firebird::IMessageMetadata* MarkerMetadata() const { return input_.get(); }
  const std::vector<std::string>& Columns() const { return columns_; }
  bool Valid() const { return static_cast<bool>(statement_); }
  void Invalidate();

  // Runs the statement with one value per marker.
  void Execute(Firebird::ITransaction* transaction, std::span<const DbValue* const> values);
  // The rows the last execution changed. A request to the server of its own: asked only
  // where the count is read.
  std::uint64_t AffectedRows();
  // Runs a query and fetches every row.
  std::vector<std::vector<DbValue>> Query(Firebird::IAttachment* attachment, Firebird::ITransaction* transaction,
                                          std::span<const DbValue* const> values);

 private:
  std::string source_;
  fb::Ref<Firebird::IStatement> statement_;
  fb::Ref<Firebird::IMessageMetadata> input_;
  fb::Ref<Firebird::IMessageMetadata> output_;
  unsigned output_length_ = 0;
  std::vector<std::string> markers_;
  std::vector<std::string> columns_;
};

}  // namespace qit
