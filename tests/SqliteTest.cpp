// The SQLite wrapper the simulator and facepadctl share: every failure is
// reported, and a kept statement is kept by its text and left ready for its
// next user whatever its last one did.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "Sqlite.h"

using FacepadCommon::Sqlite::Database;
using FacepadCommon::Sqlite::Error;
using FacepadCommon::Sqlite::Statement;

// Every failed bind or step is reported, and the statement is there for the
// next run. A statement is kept by its text, wherever that text lies; while
// in use it is not handed out again, and a throw between its bind and its
// reset leaves it ready, its bindings gone.
TEST(Sqlite, FailuresAreReportedAndAKeptStatementIsFoundByItsTextAndLeftReady) {
  Database db(":memory:", SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
  db.Execute("CREATE TABLE t(k INTEGER PRIMARY KEY, v TEXT)");
  db.Run("INSERT INTO t VALUES(?1, ?2), (?3, ?4)", {1, "one", 2, "two"});
  const auto bound = db.Prepared("SELECT k FROM t WHERE v = ?1");
  EXPECT_THROW(bound->Bind(0, std::int64_t{1}), Error);
  EXPECT_THROW(bound->Bind(2, "text"), Error);
  EXPECT_THROW(bound->Bind(2, std::optional<std::int64_t>(1)), Error);
  EXPECT_THROW(bound->BindNull(2), Error);
  // Too many values: the statement is still there for the next run.
  EXPECT_THROW(db.Run("SELECT v FROM t WHERE k = ?1", {1, 2}), Error);
  EXPECT_THROW(db.Run("INSERT INTO t VALUES(?1, ?2)", {1, "again"}), Error);  // a failed step
  std::string found;
  db.Run("SELECT v FROM t WHERE k = ?1", {2}, [&](const Statement& row) { found = row.Text(0); });
  EXPECT_EQ(found, "two");

  const std::string sql = "SELECT v FROM t WHERE k >= ?1 ORDER BY k";
  const std::string copy = std::string("SELECT v FROM t ") + "WHERE k >= ?1 ORDER BY k";
  ASSERT_NE(sql.data(), copy.data());
  const Statement* kept = nullptr;
  const auto stopMidway = [&] {
    const auto statement = db.Prepared(sql);
    kept = &*statement;
    EXPECT_THROW(db.Prepared(copy), Error);  // in use
    if (statement->Bind(1, std::int64_t{1}).Step()) throw std::runtime_error("after a row");
  };
  EXPECT_THROW(stopMidway(), std::runtime_error);
  const auto statement = db.Prepared(copy);
  EXPECT_EQ(&*statement, kept);
  EXPECT_FALSE(statement->Step());  // its bindings went with the reset
  statement->Reset();
  ASSERT_TRUE(statement->Bind(1, std::int64_t{1}).Step());
  EXPECT_EQ(statement->Text(0), "one");
}
