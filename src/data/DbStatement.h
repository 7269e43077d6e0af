#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/DateTime.h"
#include "data/Catalogue.h"
#include "data/DbConnection.h"
#include "data/DbValue.h"
#include "data/PreparedStatement.h"

namespace qit {

// A parameter of a statement object: its catalogue definition and the value its caller set.
// A fresh parameter holds an empty text. Setting a value replaces value and tag; nothing is
// converted to the declared type (the server converts when the statement runs).
class DbParam {
 public:
  explicit DbParam(const ParamDefinition& definition);

  const std::string& Name() const { return name_; }
  qit::DataType DataType() const { return data_type_; }
  int Size() const { return size_; }
  qit::ParamType ParamType() const { return param_type_; }
  const DbValue& Value() const { return value_; }

  void SetAsString(std::string value) { value_ = std::move(value); }
  void SetAsInteger(std::int32_t value) { value_ = value; }
  void SetAsLargeInt(std::int64_t value) { value_ = value; }
  void SetAsFloat(double value) { value_ = value; }
  void SetAsDateTime(TDateTime value) { value_ = value; }
  void SetNull() { value_ = DbNull{}; }

 private:
  std::string name_;
  qit::DataType data_type_;
  int size_;
  qit::ParamType param_type_;
  DbValue value_;
};

class DbDataset;

// A field of a dataset, read from the dataset's current row. A null column (and any field
// of a closed or empty dataset) reads as an empty text, 0 or the zero date-time.
class DbField {
 public:
  DbField(const FieldDefinition& definition, std::string column, const DbDataset& dataset);

  const std::string& Name() const { return name_; }
  qit::DataType DataType() const { return data_type_; }
  int Size() const { return size_; }
  // The result column the field reads.
  const std::string& Column() const { return column_; }

  bool IsNull() const { return IsNullValue(Current()); }
  std::string AsString() const { return ValueAsString(Current()); }
  // A BIGINT column is cut to 32 bits.
  std::int32_t AsInteger() const { return ValueAsInteger(Current()); }
  std::int64_t AsLargeInt() const { return ValueAsLargeInt(Current()); }
  TDateTime AsDateTime() const { return ValueAsDateTime(Current()); }

 private:
  friend class DbDataset;
  const DbValue& Current() const;

  std::string name_;
  qit::DataType data_type_;
  int size_;
  std::string column_;
  const DbDataset& dataset_;
  int index_ = -1;  // position in the result, set when the dataset opens
};

// What datasets and commands share: a statement prepared on one connection and its
// parameters. Markers are bound from the parameter of the same name in any letter case.
class DbStatement {
 public:
  DbStatement(const DbStatement&) = delete;
  DbStatement& operator=(const DbStatement&) = delete;
  virtual ~DbStatement() = default;

  const std::string& Name() const { return name_; }
  // The text sent to the server: the catalogue's SQL, or the built procedure call.
  const std::string& SQL() const { return sql_; }
  qit::StatementType StatementType() const { return statement_type_; }
  DbConnection& Connection() const { return connection_; }

  std::vector<DbParam>& Params() { return params_; }
  // Fails with "Cannot find item "<name>" in collection of type Params".
  DbParam& ParamByName(std::string_view name);

 protected:
  DbStatement(DbConnection& connection, std::string name, std::string sql, qit::StatementType type,
              const std::vector<ParamDefinition>& params);

  // The prepared statement, prepared again when a disconnect let go of it.
  PreparedStatement& Prepared() { return *PreparedShared(); }
  const std::shared_ptr<PreparedStatement>& PreparedShared();
  // One value per marker of the statement. A marker of an SQL text without a parameter is
  // an error; a procedure parameter without an input parameter of the catalogue gets NULL.
  std::vector<const DbValue*> MarkerValues();

 private:
  DbConnection& connection_;
  std::string name_;
  std::string sql_;
  qit::StatementType statement_type_;
  std::vector<DbParam> params_;
  std::shared_ptr<PreparedStatement> prepared_;
};

// A statement that changes the database (or calls a stored procedure).
class DbCommand : public DbStatement {
 public:
  DbCommand(DbConnection& connection, std::string name, std::string sql, qit::StatementType type,
            const std::vector<ParamDefinition>& params);

  // Runs the command in the connection's transaction (started when not active). With a write
  // batch open on the connection, an SQL command is held back and sent with the batch.
  // `affected`, when given, receives the number of rows the command changed once it ran
  // (outside a batch, asking for it costs a request of its own).
  void ExecuteCommand(std::uint64_t* affected = nullptr);
  // Runs the command as a refresh of a shared row, the row named by the values of the
  // parameters `key` (see DbConnection::KeepRefresh): with refreshes deferred, only the last
  // refresh of the row in the transaction is written.
  void ExecuteRefresh(std::initializer_list<std::string_view> key);
};

// A query and, once open, all of its rows with a current row.
class DbDataset : public DbStatement {
 public:
  DbDataset(DbConnection& connection, std::string name, std::string sql, const std::vector<ParamDefinition>& params,
            const std::vector<FieldDefinition>& fields, const std::vector<ColumnMapping>& mappings);

  // Runs the query in the connection's transaction (started when not active), fetches every
  // row and stands on the first. A field whose column is not in the result fails with
  // "Cannot find field <column>". Opening an open dataset runs the query again.
  void Open();
  // As Open, without first sending the writes held back on the connection (see
  // DbConnection::OpenBatch): for a query whose result none of them can change, such as a
  // look-up of a vehicle or of whether a control record exists, or a generator's next value.
  void OpenBesideHeldWrites();
  void Close();
  bool Active() const { return active_; }

  bool IsEmpty() const { return rows_.empty(); }
  int RecordCount() const { return static_cast<int>(rows_.size()); }
  void First();
  void Last();
  // Moves to the next row; past the last row the dataset is at Eof and stays on that row.
  void Next();
  // True past the last row and for an empty (or closed) dataset.
  bool Eof() const { return eof_; }

  std::vector<DbField>& Fields() { return fields_; }
  // Fails with "Cannot find item "<name>" in collection of type Fields".
  DbField& FieldByName(std::string_view name);

 private:
  friend class DbField;
  void Run(bool send_held);

  std::vector<DbField> fields_;
  std::vector<std::vector<DbValue>> rows_;
  std::size_t current_ = 0;
  bool active_ = false;
  bool eof_ = true;
};

}  // namespace qit
