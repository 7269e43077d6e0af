#include "data/DbStatement.h"

#include <algorithm>

#include <fmt/format.h>

#include "common/Text.h"
#include "data/DataErrors.h"

namespace qit {

namespace {

const DbValue kNoRow = DbNull{};

bool IsInput(ParamType type) {
  return type == ParamType::daptInput || type == ParamType::daptUnknown || type == ParamType::daptInputOutput;
}

template <class Item>
Item& FindByName(std::vector<Item>& items, std::string_view name, std::string_view collection) {
  const auto found = std::find_if(items.begin(), items.end(), [&](const Item& item) { return SameText(item.Name(), name); });
  if (found == items.end()) throw CannotFindError("item", name, collection);
  return *found;
}

}  // namespace

// ---- DbParam ----

DbParam::DbParam(const ParamDefinition& definition)
    : name_(definition.Name),
      data_type_(definition.DataType),
      size_(definition.Size),
      param_type_(definition.ParamType),
      value_(definition.Value) {}

// ---- DbField ----

DbField::DbField(const FieldDefinition& definition, std::string column, const DbDataset& dataset)
    : name_(definition.Name),
      data_type_(definition.DataType),
      size_(definition.Size),
      column_(std::move(column)),
      dataset_(dataset) {}

const DbValue& DbField::Current() const {
  if (!dataset_.active_ || dataset_.rows_.empty() || index_ < 0) return kNoRow;
  return dataset_.rows_[dataset_.current_][static_cast<std::size_t>(index_)];
}

// ---- DbStatement ----

DbStatement::DbStatement(DbConnection& connection, std::string name, std::string sql, qit::StatementType type,
                         const std::vector<ParamDefinition>& params)
    : connection_(connection),
      name_(std::move(name)),
      sql_(std::move(sql)),
      statement_type_(type),
      params_(params.begin(), params.end()),
      prepared_(connection_.Prepare(sql_)) {}

DbParam& DbStatement::ParamByName(std::string_view name) { return FindByName(params_, name, kParams); }

const std::shared_ptr<PreparedStatement>& DbStatement::PreparedShared() {
  if (!prepared_->Valid()) prepared_ = connection_.Prepare(sql_);
  return prepared_;
}

std::vector<const DbValue*> DbStatement::MarkerValues() {
  const std::vector<std::string>& markers = Prepared().Markers();
  std::vector<const DbValue*> values;
  values.reserve(markers.size());
  for (const std::string& marker : markers) {
    const auto param = std::find_if(params_.begin(), params_.end(), [&](const DbParam& p) {
      return SameText(p.Name(), marker) && (statement_type_ != qit::StatementType::stStoredProcedure || IsInput(p.ParamType()));
    });
    if (param != params_.end()) values.push_back(&param->Value());
    else if (statement_type_ == qit::StatementType::stStoredProcedure) values.push_back(nullptr);
    else throw CannotFindError("item", marker, kParams);
  }
  return values;
}

// ---- DbCommand ----

DbCommand::DbCommand(DbConnection& connection, std::string name, std::string sql, qit::StatementType type,
                     const std::vector<ParamDefinition>& params)
    : DbStatement(connection, std::move(name), std::move(sql), type, params) {}

void DbCommand::ExecuteCommand(std::uint64_t* affected) {
  const std::vector<const DbValue*> values = MarkerValues();
  if (StatementType() != qit::StatementType::stStoredProcedure) {
    Connection().Keep(PreparedShared(), values, affected);
    return;
  }
  // A procedure call is not held back: its text is a call built for it, not a statement a
  // block can hold.
  PreparedStatement& statement = Prepared();
  Connection().Execute(statement, values);
  if (affected != nullptr) *affected = Connection().AffectedRows(statement);
}

void DbCommand::ExecuteRefresh(std::initializer_list<std::string_view> key) {
  if (StatementType() == qit::StatementType::stStoredProcedure) {
    ExecuteCommand();
    return;
  }
  std::string row = SQL();
  for (const std::string_view name : key) {
    row += '\x1f';
    row += ValueAsString(ParamByName(name).Value());
  }
  Connection().KeepRefresh(std::move(row), PreparedShared(), MarkerValues());
}

// ---- DbDataset ----

DbDataset::DbDataset(DbConnection& connection, std::string name, std::string sql,
                     const std::vector<ParamDefinition>& params, const std::vector<FieldDefinition>& fields,
                     const std::vector<ColumnMapping>& mappings)
    : DbStatement(connection, std::move(name), std::move(sql), qit::StatementType::stSQL, params) {
  fields_.reserve(fields.size());
  for (const FieldDefinition& field : fields) {
    const auto mapping = std::find_if(mappings.begin(), mappings.end(),
                                      [&](const ColumnMapping& m) { return SameText(m.DatasetField, field.Name); });
    fields_.emplace_back(field, mapping == mappings.end() ? field.Name : mapping->TableField, *this);
  }
}

void DbDataset::Open() { Run(true); }

void DbDataset::OpenBesideHeldWrites() { Run(false); }

void DbDataset::Run(bool send_held) {
  Close();
  const std::vector<const DbValue*> values = MarkerValues();
  PreparedStatement& statement = Prepared();
  const std::vector<std::string>& columns = statement.Columns();
  for (DbField& field : fields_) {
    const auto column = std::find_if(columns.begin(), columns.end(),
                                     [&](const std::string& c) { return SameText(c, field.Column()); });
    if (column == columns.end()) throw EDatabaseError(fmt::format("Cannot find field {}", field.Column()));
    field.index_ = static_cast<int>(column - columns.begin());
  }
  rows_ = Connection().Query(statement, values, send_held);
  active_ = true;
  First();
}

void DbDataset::Close() {
  rows_.clear();
  active_ = false;
  eof_ = true;
  current_ = 0;
}

void DbDataset::First() {
  current_ = 0;
  eof_ = rows_.empty();
}

void DbDataset::Last() {
  current_ = rows_.empty() ? 0 : rows_.size() - 1;
  eof_ = rows_.empty();
}

void DbDataset::Next() {
  if (current_ + 1 < rows_.size()) ++current_;
  else eof_ = true;
}

DbField& DbDataset::FieldByName(std::string_view name) { return FindByName(fields_, name, kFields); }

}  // namespace qit
