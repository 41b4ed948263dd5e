// Derived values end to end: the real collector on SQLite with control files
// written in the test's directory, and the real probe reading what the
// channel hands out (maths, column exits, text cut to its output length),
// and the evaluator's lines in the message log.

#include <gtest/gtest.h>

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "support/collections.h"
#include "support/collector_process.h"
#include "support/database_fixture.h"
#include "support/log_capture.h"
#include "support/startup_fixture.h"

namespace qrx {
namespace {

class DerivedValuesRunTest : public testing::SqliteCollectorTest {
 protected:
  void SetUp() override {
    SqliteCollectorTest::SetUp();
    server_ = testing::own_server_id('D');
  }
  std::string db() const { return (dir() / (server_ + ".db")).string(); }
  std::string log() const { return testing::collector_log(dir()); }
  // The collector (every second, with the request server and `more`
  // distributors) on the cursors `cursors`.
  void start(const std::string& cursors, const std::string& more = "") {
    write_file("qrxproc.ctl",
               "process collector;\ntype local;\nlogon_id demo;\ninterval 1;\n"
               "process rqs;\ntype local;\ninterval 1;\n" + more + "end;\n");
    write_file("qrxdict.ctl", "name SERVER;\ntype char(8);\ninitial 'DEMO';\nend;\n");
    write_file("qrxcoll.ctl", cursors + "end;\n");
    ASSERT_TRUE(collector_.start(dir(), "-rdbms " + server_ + " -dbtype qrx", settings()));
  }
  // The probe's CSV rows of `cursor` once it has some.
  std::vector<std::string> rows_of(const std::string& cursor) {
    std::vector<std::string> rows;
    testing::wait_until([&] { return !(rows = testing::probe_csv_rows(dir(), settings(), server_, cursor)).empty(); });
    return rows;
  }
};

// An answer too wide for its column is an overflow: 0, never its last
// digits; decimal places go first when the whole part fits.
TEST_F(DerivedValuesRunTest, MathAnswerTooWideForItsColumnIsZeroOrLosesDecimals) {
  testing::run_sql(db(), "CREATE TABLE t (a VARCHAR(4));INSERT INTO t VALUES ('A');");
  start(
      "cursor M;\ninterval 1;\nsamples 1;\n"
      "INSERT INTO t (a, BIG, WIDE, FIT) VALUES (:a^4, :BIG^21, :WIDE^6, :FIT^6);\n"
      "math BIG 99999999999999999999 * 99999999999999999999 * 99999999999999999999;\n"
      "math WIDE 1234.567;\nmath FIT 2 + 3;\n");
  EXPECT_EQ(rows_of("M"), std::vector<std::string>{"A,0,1234.5,5.00"}) << log();
  EXPECT_NE(log().find("CMA3668W"), std::string::npos) << log();
  EXPECT_NE(log().find("Math overflow - forcing answer of 0 in BIG"), std::string::npos) << log();
}

// Column exits as the channel hands the column out: R_JUSTIFY moves the
// value to the right end of its output length, not of the stored place.
TEST_F(DerivedValuesRunTest, ColumnExitsShapeTheColumnAsTheProbeSeesIt) {
  testing::run_sql(db(),
                   "CREATE TABLE t (r VARCHAR(12), l VARCHAR(12), s VARCHAR(12));"
                   "INSERT INTO t VALUES ('APP', '  APP', 'ABCDEF');");
  start(
      "cursor X;\ninterval 1;\nsamples 1;\n"
      "INSERT INTO t (r, l, s) VALUES (:r^12, :l^12, :s^12);\n"
      "column_exit r R_JUSTIFY;\ncolumn_exit l L_JUSTIFY;\ncolumn_exit s SUBSTR(2, 3);\n");
  EXPECT_EQ(rows_of("X"), std::vector<std::string>{"APP,APP,BCD"}) << log();
}

// A text longer than its output length is cut before the character that
// does not fit, never inside it (the probe shows each byte beyond ASCII as
// ".": two whole characters of two bytes each).
TEST_F(DerivedValuesRunTest, TextIsCutBeforeACharacterThatDoesNotFit) {
  testing::run_sql(db(), "CREATE TABLE t (u VARCHAR(10), v VARCHAR(10));"
                         "INSERT INTO t VALUES ('\xC3\xA9\xC3\xA9\xC3\xA9', 'abcdefgh');");
  start("cursor U;\ninterval 1;\nsamples 1;\nINSERT INTO t (u, v) VALUES (:u^5, :v^5);\n");
  EXPECT_EQ(rows_of("U"), std::vector<std::string>{"....,abcde"}) << log();
}

// A column that only another version of a cursor has can be named from
// another cursor: start-up takes it from that version, and once the
// versions are chosen (here the ELSE branch) the rows carry it.
TEST_F(DerivedValuesRunTest, ColumnOfAnotherVersionCanBeNamedFromAnotherCursor) {
  testing::run_sql(db(), "CREATE TABLE a (x INTEGER, coly INTEGER);INSERT INTO a VALUES (1, 42);"
                         "CREATE TABLE b (k INTEGER);INSERT INTO b VALUES (7);");
  start(
      "cursor A;\ninterval 1;\nsamples 1;\n"
      "if SERVER = 'OTHER';\nINSERT INTO a (x) VALUES (:x^4);\n"
      "else;\nINSERT INTO a (x, coly) VALUES (:x^4, :coly^4);\nendif;\n"
      "cursor B;\ninterval 1;\nsamples 1;\ninsert_select SELECT k FROM b;\n"
      "INSERT INTO b (k, y) VALUES (:k^4, :A.coly^4);\n");
  EXPECT_EQ(rows_of("B"), std::vector<std::string>{"7,42"}) << log();
  EXPECT_NE(log().find("Qualified name resolution successful, 1 resolved"), std::string::npos) << log();
}

// The evaluator writes the row that held when its evaluation turns true,
// and the row that stopped holding when it turns false: here the first of
// three, which a later row of the same run (cid) must not stand for, then a
// row that went.
TEST_F(DerivedValuesRunTest, EvaluatorNamesTheRowThatStoppedMatchingWhenItTurnsFalse) {
  testing::run_sql(db(), "PRAGMA journal_mode = WAL;CREATE TABLE users (name VARCHAR(8), busy INTEGER);"
                         "INSERT INTO users VALUES ('ann', 150), ('bob', 10), ('cid', 20);");
  write_file("qrxeval.ctl", "eval HOT;\ncursor LOAD;\ncolumn busy;\noperator >;\nvalue 100;\nend;\n");
  start("cursor LOAD;\ninterval 1;\nsamples 1;\nINSERT INTO users (name, busy) VALUES (:name^8, :busy^6);\n",
        "process evaluator;\ntype local;\ninterval 1;\nsend_false YES;\n");
  const std::string became_true = "Evaluation HOT (1) true for cursor LOAD";
  const std::string became_false = "Evaluation HOT (1) turned false for cursor LOAD";
  ASSERT_TRUE(testing::wait_until([&] { return log().find(became_true) != std::string::npos; })) << log();
  testing::run_sql(db(), "UPDATE users SET busy = 20 WHERE name = 'ann';");
  ASSERT_TRUE(testing::wait_until([&] { return log().find(became_false) != std::string::npos; })) << log();
  std::string text = log();
  std::size_t at = text.find(became_false);
  std::string after = text.substr(at, text.find("\nCEV", at + 1) - at);
  EXPECT_NE(after.find(":ann"), std::string::npos) << after;
  EXPECT_EQ(after.find(":cid"), std::string::npos) << after;

  // A row that holds and then goes is written as it was when it last held.
  testing::run_sql(db(), "UPDATE users SET busy = 200 WHERE name = 'cid';");
  ASSERT_TRUE(testing::wait_until([&] { return log().find(became_true, at) != std::string::npos; })) << log();
  testing::run_sql(db(), "DELETE FROM users WHERE name = 'cid';");
  ASSERT_TRUE(testing::wait_until([&] { return testing::occurrences(log(), became_false) >= 2; })) << log();
  text = log();
  at = text.find(became_false, at + 1);
  after = text.substr(at, text.find("\nCEV", at + 1) - at);
  EXPECT_NE(after.find(":cid"), std::string::npos) << after;
  EXPECT_NE(after.find(":   200"), std::string::npos) << after;
}

}  // namespace
}  // namespace qrx
