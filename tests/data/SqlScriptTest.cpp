#include <gtest/gtest.h>

#include "TestDatabase.h"

namespace qit::testing {
namespace {

TEST(SqlScriptTest, SplitsAtTerminatorsOutsideCommentsAndLiterals) {
  const auto statements = SplitSqlScript(
      "/* header; with a semicolon */\n"
      "SET SQL DIALECT 3;\n"
      "CREATE TABLE A (X VARCHAR(5) DEFAULT ';');\n"
      "-- a comment; still a comment\n"
      "INSERT INTO A VALUES ('it''s;');\n"
      "SET TERM ^ ;\n"
      "CREATE PROCEDURE P AS BEGIN\n  INSERT INTO A VALUES ('x');\nEND^\n"
      "SET TERM ; ^\n"
      "COMMIT;\n"
      "DELETE FROM A\n");
  ASSERT_EQ(statements.size(), 4u);
  EXPECT_EQ(statements[0], "CREATE TABLE A (X VARCHAR(5) DEFAULT ';')");
  EXPECT_EQ(statements[1], "INSERT INTO A VALUES ('it''s;')");
  EXPECT_EQ(statements[2], "CREATE PROCEDURE P AS BEGIN\n  INSERT INTO A VALUES ('x');\nEND");
  EXPECT_EQ(statements[3], "DELETE FROM A");
}

}  // namespace
}  // namespace qit::testing
