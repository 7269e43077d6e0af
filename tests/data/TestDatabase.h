#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "data/ConnectionDefinition.h"

namespace qit::testing {

// The statements of an isql script, in order: split at the terminator (";", or the one a
// SET TERM line sets) outside comments and string literals. SET and COMMIT statements are
// left out; each statement is run and committed on its own.
std::vector<std::string> SplitSqlScript(std::string_view script);

// A fresh fleet database made from db/schema.sql (and db/demo.sql when asked), in a new
// temporary folder that is removed with the object.
class TestDatabase {
 public:
  enum class Content { kSchema, kSchemaAndDemo };

  // Created by the embedded engine in this process; opened by path. Without forced writes
  // (the default for tests) commits do not wait for the disk.
  static TestDatabase Embedded(Content content, bool forced_writes = false);
  // Created through the Firebird server on localhost with the given account; the folder is
  // writable by the server's own user.
  static TestDatabase OnServer(Content content, const std::string& user, const std::string& password,
                               bool forced_writes = false);

  TestDatabase(TestDatabase&& other) noexcept;
  TestDatabase& operator=(TestDatabase&&) = delete;
  ~TestDatabase();

  const std::filesystem::path& File() const { return file_; }
  // A connection string for the "FIB" driver that reaches this database, with Charset=UTF8
  // and any extra "Key=Value;" pairs appended.
  std::string ConnectionString(std::string_view extra = {}) const;
  // The definition "GPS" (type "Interbase", default) pointing at this database.
  ConnectionDefinition GpsDefinition(std::string_view extra = {}) const;
  // Runs statements (no markers) each in its own committed transaction.
  void Execute(const std::vector<std::string>& statements) const;

 private:
  TestDatabase(std::filesystem::path folder, std::string server, std::string user, std::string password);
  void Create(Content content, bool forced_writes) const;

  std::filesystem::path folder_;
  std::filesystem::path file_;
  std::string server_;
  std::string user_;
  std::string password_;
};

}  // namespace qit::testing
