#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include <firebird/Interface.h>

#include "data/DbValue.h"
#include "data/FbClient.h"

namespace qit {

// A statement prepared on one attachment: the server's handle, the names of its markers in
// order, and the names of its result columns. It stays usable in any transaction of that
// attachment until the attachment goes away (Invalidate).
class PreparedStatement {
 public:
  PreparedStatement(fb::Ref<Firebird::IStatement> statement, std::vector<std::string> markers);

  const std::vector<std::string>& Markers() const { return markers_; }
  const std::vector<std::string>& Columns() const { return columns_; }
  bool Valid() const { return static_cast<bool>(statement_); }
  void Invalidate();

  // Runs the statement with one value per marker; the result is the affected-row count.
  std::uint64_t Execute(Firebird::ITransaction* transaction, std::span<const DbValue* const> values);
  // Runs a query and fetches every row.
  std::vector<std::vector<DbValue>> Query(Firebird::IAttachment* attachment, Firebird::ITransaction* transaction,
                                          std::span<const DbValue* const> values);

 private:
  fb::Ref<Firebird::IStatement> statement_;
  fb::Ref<Firebird::IMessageMetadata> input_;
  fb::Ref<Firebird::IMessageMetadata> output_;
  unsigned output_length_ = 0;
  std::vector<std::string> markers_;
  std::vector<std::string> columns_;
};

}  // namespace qit
