// The dynamic fetch on SQLite files with declared column types.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <vector>

#include "base/trace.h"
#include "ctl/control_parse.h"
#include "exec/dynamic_fetch.h"
#include "exec/percent_cursor.h"
#include "session/database.h"
#include "sqlrt/backend_support.h"
#include "sqlrt/sqlrt.h"
#include "support/database_fixture.h"
#include "support/wrapping_driver.h"

namespace qrx {
namespace {

class PrepLFetchTest : public testing::DatabaseFixture {
 protected:
  void SetUp() override {
    DatabaseFixture::SetUp();
    collector_.server_id = db_.file("MON.db");
    setup_sql("PRAGMA user_version = 1;");  // the file must exist to log on
  }

  testing::TempDir db_;
};

// The fetch numbered `lose_at` (from 1) finds the session gone, as when the
// server restarts in the middle of a run.
class LosingStatement : public testing::ForwardingStatement {
 public:
  LosingStatement(std::unique_ptr<sqlrt::Statement> inner, int lose_at)
      : ForwardingStatement(std::move(inner)), lose_at_(lose_at) {}
  int fetch(std::span<sqlrt::Binding> columns) override {
    if (++fetches_ != lose_at_) return ForwardingStatement::fetch(columns);
    // Part of the row may already sit in the buffer when the session drops.
    if (!columns.empty() && columns[0].length > 0) columns[0].data[0] = '9';
    return lost_.set(sqlrt::kNotLoggedOn, "not logged on: the server closed the connection");
  }
  const sqlrt::Diagnostics& diagnostics() const override {
    return fetches_ == lose_at_ ? lost_ : ForwardingStatement::diagnostics();
  }

 private:
  int lose_at_;
  int fetches_ = 0;
  sqlrt::Diagnostics lost_;
};

struct LengthCase {
  const char* declared;
  int fetch_length;
};

TEST_F(PrepLFetchTest, FetchLengthFollowsTheDeclaredType) {
  const LengthCase cases[] = {
      {"VARCHAR2(200)", 384}, {"VARCHAR2(100)", 300}, {"CHAR(4)", 12},   {"NUMBER(10,2)", 12},
      {"NUMBER", 21},         {"NUMBER(5,-2)", 9},    {"INTEGER", 21},   {"DATE", 9},
      {"RAW(16)", 32},
  };
  std::string create = "CREATE TABLE t (", insert = "INSERT INTO t VALUES (";
  for (size_t i = 0; i < std::size(cases); ++i) {
    create += (i ? ", c" : "c") + std::to_string(i) + " " + cases[i].declared;
    insert += i ? ", NULL" : "NULL";
  }
  setup_sql(create + "); " + insert + ");");
  curs& c = cursor("LENGTHS", "SELECT * FROM t");
  ASSERT_EQ(run(c), 0);
  ASSERT_EQ(rows.size(), 1u);
  ASSERT_EQ(rows[0].size(), std::size(cases));
  size_t row_length = 0;
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].declared);
    EXPECT_EQ(rows[0][i].text.size(), static_cast<size_t>(cases[i].fetch_length));
    row_length += static_cast<size_t>(cases[i].fetch_length);
  }
  EXPECT_EQ(c.row_buffer.size(), row_length + 1);
  EXPECT_EQ(c.indicators.size(), std::size(cases));
}

TEST_F(PrepLFetchTest, NumbersAreRightJustifiedAndNullsMarked) {
  setup_sql("CREATE TABLE t (n NUMBER(10,2), name VARCHAR2(20), d DATE, r RAW(2));"
            "INSERT INTO t VALUES (12.5, 'abc', '2026-01-05', x'0AFF');"
            "INSERT INTO t VALUES (NULL, NULL, NULL, NULL);");
  curs& c = cursor("VALUES", "SELECT n, name, d, r FROM t ORDER BY n DESC");
  ASSERT_EQ(run(c), 0);
  EXPECT_EQ(rows_out, 2);
  ASSERT_EQ(rows.size(), 2u);
  const testing::SeenRow& full = rows[0];
  EXPECT_EQ(full[0].text, "        12.5");
  EXPECT_TRUE(full[0].right_justified);
  EXPECT_EQ(full[0].orig_type, 2);
  EXPECT_EQ(full[1].value(), "abc");
  EXPECT_EQ(full[1].orig_type, 1);
  EXPECT_EQ(full[2].value(), "05-JAN-26");
  EXPECT_EQ(full[2].orig_type, 12);
  EXPECT_EQ(full[3].value(), "0AFF");
  EXPECT_EQ(full[3].orig_type, 1);
  for (const testing::SeenColumn& col : full) EXPECT_FALSE(col.null);

  const testing::SeenRow& empty = rows[1];
  for (const testing::SeenColumn& col : empty) EXPECT_TRUE(col.null);
  EXPECT_EQ(empty[0].text, std::string(12, ' '));
  EXPECT_EQ(empty[1].text, std::string(60, '\0'));
}

TEST_F(PrepLFetchTest, SixtyOneColumnsFailWithoutRowsAndSixtyAreFetched) {
  auto select_of = [](int n) {
    std::string sql = "SELECT 1";
    for (int i = 2; i <= n; ++i) sql += ", " + std::to_string(i);
    return sql;
  };
  curs& wide = cursor("WIDE", select_of(61));
  EXPECT_EQ(run(wide), -61);
  EXPECT_TRUE(log_.has("ORU0009", 'W', "More columns than max select columns"));
  EXPECT_TRUE(rows.empty());

  curs& fits = cursor("FITS", select_of(60));
  EXPECT_EQ(run(fits), 0);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].size(), 60u);
  EXPECT_EQ(rows[0][59].text, std::string(19, ' ') + "60");
}

struct RefusedCase {
  const char* declared;
  const char* id;
  const char* message;
};

TEST_F(PrepLFetchTest, UnsupportedTypesFailTheCursorForThisRunOnly) {
  const RefusedCase cases[] = {
      {"LONG", "ORU0011", "Don't support LONG for <v>"},
      {"LONG RAW", "ORU0013", "Don't support LONGRAW for <v>"},
      {"ROWID", "ORU0014", "Don't support ROWID for <v>"},
      {"BLOB", "ORU0015", "Unknown data type <113> for <v>"},
  };
  setup_sql("CREATE TABLE good (n NUMBER(3)); INSERT INTO good VALUES (7);");
  for (const RefusedCase& refused : cases) {
    SCOPED_TRACE(refused.declared);
    setup_sql(std::string("DROP TABLE IF EXISTS t; CREATE TABLE t (v ") + refused.declared +
              "); INSERT INTO t VALUES (x'00');");
    curs& c = cursor("REFUSED", "SELECT v FROM t");
    EXPECT_EQ(run(c), 1);
    EXPECT_TRUE(log_.has(refused.id, 'W', refused.message)) << log_.text();
    EXPECT_TRUE(rows.empty());
    // The session stays up: the next cursor runs on it.
    curs& next = cursor("GOOD", "SELECT n FROM good");
    EXPECT_EQ(run(next), 0);
    ASSERT_EQ(rows.size(), 1u);
    rows.clear();
  }
}

TEST_F(PrepLFetchTest, RowsWithAnInvalidNumberAreSkipped) {
  setup_sql("CREATE TABLE t (k INTEGER, n NUMBER);"
            "INSERT INTO t VALUES (1, 10); INSERT INTO t VALUES (2, 'ten'); INSERT INTO t VALUES (3, 30);");
  curs& c = cursor("SKIP", "SELECT n FROM t ORDER BY k");
  ASSERT_EQ(run(c), 0);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0][0].text, std::string(19, ' ') + "10");
  EXPECT_EQ(rows[1][0].text, std::string(19, ' ') + "30");
  EXPECT_TRUE(log_.has("ORU0006", 'I', "SQLCODE for FETCH = -1722"));
  EXPECT_EQ(c.rows_this_run, 2);
}

TEST_F(PrepLFetchTest, FailedStatementRollsBackAndTheNextRunLogsOnAgain) {
  curs& bad = cursor("BAD", "SELECT * FROM missing");
  int code = run(bad);
  EXPECT_LT(code, 0);
  EXPECT_EQ(bad.result_code, code);
  EXPECT_EQ(bad.status, sql_code_text(code));
  EXPECT_EQ(bad.status.size(), 16u);
  EXPECT_TRUE(log_.has("RPF0345", 'W', "Time = 20260105090000 For cursor BAD, fetch failed after = 0 rows"));
  EXPECT_EQ(collector_.status, "FAIL");
  EXPECT_EQ(collector_.last_run.size(), 14u);
  EXPECT_EQ(db_info.state, kSessionReleased);
  EXPECT_EQ(db_info.open, 0);

  curs& good = cursor("GOOD", "SELECT 'x'");
  EXPECT_EQ(run(good), 0);
  EXPECT_EQ(db_info.state, kSessionConnected);
  EXPECT_EQ(rows.size(), 1u);
}

TEST_F(PrepLFetchTest, MergeFailureHoldsTheCursorAndRollsBack) {
  merge_result = 0;
  curs& c = cursor("HELD", "SELECT 1 UNION ALL SELECT 2");
  EXPECT_EQ(run(c), 1);
  EXPECT_EQ(c.hold, 'Y');
  EXPECT_TRUE(log_.has("RPF0350", 'E',
                       "Time = 20260105090000 For cursor HELD, merge failed after = 1 rowsHolding cursor"));
  EXPECT_EQ(db_info.state, kSessionReleased);
  EXPECT_EQ(rows_out, 0);
}

TEST_F(PrepLFetchTest, SessionLostMidRunHandsOnNoPartialRowAndTheNextRunLogsOnAgain) {
  // Only the first session loses its second fetch.
  testing::WrappingDriver driver([&driver](std::unique_ptr<sqlrt::Statement> inner) {
    return std::make_unique<LosingStatement>(std::move(inner), driver.connects == 1 ? 2 : 0);
  });
  sqlrt::set_driver_override(&driver);
  setup_sql("CREATE TABLE t (n NUMBER(3)); INSERT INTO t VALUES (1); INSERT INTO t VALUES (2);"
            "INSERT INTO t VALUES (3);");
  curs& c = cursor("LOST", "SELECT n FROM t ORDER BY n");
  EXPECT_EQ(run(c), sqlrt::kNotLoggedOn);
  ASSERT_EQ(rows.size(), 1u);  // the row before the loss, and nothing of the next
  EXPECT_EQ(rows[0][0].text, "    1");
  EXPECT_EQ(rows_out, 0);
  EXPECT_EQ(db_info.state, kSessionReleased);
  EXPECT_EQ(db_info.open, 0);
  EXPECT_TRUE(log_.has("rpf0345", 'w', "Time = 20260105090000 For cursor LOST, fetch failed after = 1 rows"));

  rows.clear();
  EXPECT_EQ(run(c), 0);
  EXPECT_EQ(driver.connects, 2);
  EXPECT_EQ(rows.size(), 3u);
}

TEST_F(PrepLFetchTest, RunsKeepTimesSamplesAndCounts) {
  curs& c = cursor("TIMES", "SELECT 1 UNION ALL SELECT 2");
  ASSERT_EQ(run(c), 0);
  EXPECT_EQ(c.sample_no, 1);
  EXPECT_EQ(c.measured_interval, 0);
  EXPECT_EQ(c.last_start, clock_.now());
  clock_.sleep_seconds(60);
  ASSERT_EQ(run(c), 0);
  EXPECT_EQ(c.sample_no, 2);
  EXPECT_EQ(c.previous_start + 60, c.last_start);
  EXPECT_EQ(c.measured_interval, 60);
  EXPECT_EQ(c.end_time, clock_.now());
  EXPECT_EQ(c.rows_this_run, 2);
  EXPECT_EQ(rows_out, 4);
  EXPECT_EQ(c.fetch_time.size(), 14u);
  EXPECT_EQ(c.result_code, 0);
}

TEST_F(PrepLFetchTest, OnceCursorWithRowsAndCursorWithoutSql) {
  curs& once = cursor("ONCE", "SELECT 1");
  once.once = 1;
  once.rows = 3;
  EXPECT_EQ(prep_l_fetch(once, "20260105090000", rows_out), 0);
  EXPECT_EQ(once.sample_no, 0);

  curs& plain = cursor("NOSQL", "");
  plain.no_sql = 1;
  int32_t ended = -1;
  fetch_hooks().end_of_data = [&](curs&, int32_t n) { ended = n; };
  EXPECT_EQ(prep_l_fetch(plain, "20260105090000", rows_out), 0);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_TRUE(rows[0].empty());
  EXPECT_EQ(ended, 1);
  EXPECT_EQ(db_info.state, kSessionReleased);  // no logon was needed
}

TEST_F(PrepLFetchTest, TracesNameEveryColumnAndItsSizes) {
  trace_set("dzzzzzzzzzz");
  setup_sql("CREATE TABLE t (n NUMBER(3)); INSERT INTO t VALUES (5);");
  curs& c = cursor("TRACED", "SELECT n FROM t");
  c.trace = 1;
  ASSERT_EQ(run(c), 0);
  EXPECT_TRUE(log_.has("ORU0090", 'I', "Starting new SQL query."));
  EXPECT_TRUE(log_.has("ORU0115", 'T', "Column count: <1>"));
  EXPECT_TRUE(log_.has("ORU0120", 'T', "Column name: <n>"));
  EXPECT_TRUE(log_.has("ORU0130", 'T', "Column type (name): <O_NUMBER>"));
  EXPECT_TRUE(log_.has("ORU0150", 'T', "Allocated column size (bytes): <5>"));
  EXPECT_TRUE(log_.has("ORU0215", 'T', "Doing right justification"));
  EXPECT_TRUE(log_.has("RPF0340", 'T', "Time = 20260105090000 For cursor TRACED, rows collected for insert = 1"));
}

TEST_F(PrepLFetchTest, FetchedRowsBecomeStoredRowsOfTheParsedCursor) {
  setup_sql("CREATE TABLE sessions (sid NUMBER(6), username VARCHAR2(10));"
            "INSERT INTO sessions VALUES (7, 'APP'), (123, NULL);");
  ASSERT_EQ(parse_curs_text(defs_, "cursor SESS;\n  interval 10;\n  limit 10;\n"
                            "  INSERT INTO sessions (sid, username) VALUES (:INT!sid, :username);\n"
                            "end;\n"), 0);
  curs& c = *defs_.find_cursor("SESS");
  c.collector = &collector_;
  fetch_hooks().row = merge_fetched_row;
  ASSERT_EQ(run(c), 0);
  ASSERT_EQ(c.stored.count(), 2);
  const columns& sid = *c.cols[0];
  const columns& user = *c.cols[1];
  const row_data* first = c.stored.first();
  EXPECT_EQ(std::string(first->data() + sid.stored_offset, sid.stored_length),
            std::string(sid.stored_length - 1, ' ') + "7");
  EXPECT_EQ(std::string(first->data() + user.stored_offset, 3), "APP");
  const row_data* second = first->next;
  EXPECT_EQ(std::string(second->data() + sid.stored_offset, sid.stored_length),
            std::string(sid.stored_length - 3, ' ') + "123");
  // A database NULL is stored as the text NULL in a character column.
  EXPECT_EQ(std::string(second->data() + user.stored_offset, user.stored_length),
            "NULL" + std::string(user.stored_length - 4, ' '));
}

TEST(CursorNameList, NamesSeparatedByBlanksStoppingBeforeTheBufferIsFull) {
  std::vector<std::unique_ptr<curs>> chain;
  for (const char* name : {"SESSIONS", "LOCKS", "IO"}) {
    chain.push_back(std::make_unique<curs>());
    chain.back()->name = name;
  }
  char buffer[32];
  ASSERT_EQ(get_cursor_name_list(buffer, &chain), 0);
  EXPECT_STREQ(buffer, "SESSIONS LOCKS IO");
  char small[15];
  ASSERT_EQ(get_cursor_name_list(small, &chain), 0);
  EXPECT_STREQ(small, "SESSIONS LOCKS");
  char tight[14];
  ASSERT_EQ(get_cursor_name_list(tight, &chain), 0);
  EXPECT_STREQ(tight, "SESSIONS");
  EXPECT_EQ(get_cursor_name_list(buffer, nullptr), -1);
}

}  // namespace
}  // namespace qrx
