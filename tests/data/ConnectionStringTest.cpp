#include <gtest/gtest.h>

#include "data/ConnectionString.h"
#include "data/SqlMarkers.h"

namespace qit {
namespace {

TEST(ConnectionStringTest, ReadsDriverAndWellKnownKeysInAnyCase) {
  const ConnectionStringParts parts = ParseConnectionString(
      "  fib ?server= db.local;DATABASE=/data/fleet.fdb;UserId=sysdba;password=a=b;AuxDriver=x;Charset=UTF8;  ");
  EXPECT_EQ(parts.Driver, "fib");
  EXPECT_EQ(parts.Server, " db.local");  // pieces are not trimmed, only the whole string
  EXPECT_EQ(parts.Database, "/data/fleet.fdb");
  EXPECT_EQ(parts.UserID, "sysdba");
  EXPECT_EQ(parts.Password, "a=b");  // split at the first "=" only
  EXPECT_EQ(parts.AuxDriver, "x");
  ASSERT_EQ(parts.AuxParams.size(), 6u);  // every pair is kept, the well-known ones too
  EXPECT_EQ(parts.Find("charset"), "UTF8");
  EXPECT_EQ(parts.Find("Role"), std::nullopt);
}

TEST(ConnectionStringTest, EmptyPiecesAndUntrimmedKeys) {
  const ConnectionStringParts parts = ParseConnectionString("FIB? Server=s;;Database=d; UserID=u;Server=;");
  EXPECT_EQ(parts.Driver, "FIB");
  EXPECT_EQ(parts.Server, "");  // " Server" and " UserID" are not the well-known keys
  EXPECT_EQ(parts.Database, "d");
  EXPECT_EQ(parts.UserID, "");
  EXPECT_EQ(parts.Find(" UserID"), "u");
  EXPECT_EQ(parts.Find(" server"), "s");
  EXPECT_EQ(parts.AuxParams.size(), 4u);
}

TEST(ConnectionStringTest, NoQuestionMarkMeansNoDriver) {
  const ConnectionStringParts parts = ParseConnectionString("Database=d");
  EXPECT_EQ(parts.Driver, "");
  EXPECT_EQ(parts.Database, "d");
  EXPECT_EQ(ConnectionStringDriver(" FIB ?Database=d"), "FIB");
}

TEST(SqlMarkersTest, NamedMarkersBecomeQuestionMarksOutsideLiteralsAndComments) {
  const MarkedSql marked = ParseMarkers(
      "select ':NOT', \"A:B\" from t -- :NOPE\n"
      "where a = :First and b=:second_2 /* :NOPE */ and c = ?Third and d = ? and e = :First");
  EXPECT_EQ(marked.text,
            "select ':NOT', \"A:B\" from t -- :NOPE\n"
            "where a = ? and b=? /* :NOPE */ and c = ? and d = ? and e = ?");
  EXPECT_EQ(marked.markers, (std::vector<std::string>{"First", "second_2", "Third", "", "First"}));
}

}  // namespace
}  // namespace qit
