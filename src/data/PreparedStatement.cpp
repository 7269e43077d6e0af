#include "data/PreparedStatement.h"

#include "data/SqlMessage.h"

namespace qit {

PreparedStatement::PreparedStatement(std::string source, fb::Ref<Firebird::IStatement> statement,
                                     std::vector<std::string> markers)
    : source_(std::move(source)), statement_(std::move(statement)), markers_(std::move(markers)) {
  fb::Status status;
  input_.Reset(statement_->getInputMetadata(&status));
  output_.Reset(statement_->getOutputMetadata(&status));
  output_length_ = output_->getMessageLength(&status);
  const unsigned count = output_->getCount(&status);
  columns_.reserve(count);
  for (unsigned i = 0; i < count; ++i) columns_.emplace_back(output_->getAlias(&status, i));
}

void PreparedStatement::Invalidate() {
  input_.Reset();
  output_.Reset();
  statement_.Reset();
}

void PreparedStatement::Execute(Firebird::ITransaction* transaction, std::span<const DbValue* const> values) {
  fb::Status status;
  InputMessage input(input_.get(), values);
  // A procedure call with output parameters hands back one row; it is not needed here.
  std::vector<unsigned char> output(output_length_);
  statement_->execute(&status, transaction, input.Metadata(), input.Buffer(), columns_.empty() ? nullptr : output_.get(),
                      columns_.empty() ? nullptr : output.data());
}

std::uint64_t PreparedStatement::AffectedRows() {
  fb::Status status;
  return statement_->getAffectedRecords(&status);
}

std::vector<std::vector<DbValue>> PreparedStatement::Query(Firebird::IAttachment* attachment,
                                                           Firebird::ITransaction* transaction,
                                                           std::span<const DbValue* const> values) {
  fb::Status status;
  InputMessage input(input_.get(), values);
  fb::Ref<Firebird::IResultSet> cursor(
      statement_->openCursor(&status, transaction, input.Metadata(), input.Buffer(), output_.get(), 0));
  std::vector<std::vector<DbValue>> rows;
  std::vector<unsigned char> row(output_length_);
  while (cursor->fetchNext(&status, row.data()) == Firebird::IStatus::RESULT_OK)
    rows.push_back(DecodeRow(output_.get(), row.data(), attachment, transaction));
  cursor->close(&status);
  cursor.Forget();
  return rows;
}

}  // namespace qit
