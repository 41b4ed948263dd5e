#include <gtest/gtest.h>
#include <sqlite3.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "session/database.h"
#include "sqlrt/backend_support.h"
#include "sqlrt/sqlrt.h"
#include "support/log_capture.h"

namespace qrx::sqlrt {
namespace {

namespace fs = std::filesystem;

// One fetched row: a row buffer cut into places of the given fetch lengths.
struct Row {
  explicit Row(const std::vector<int>& lengths) : indicators(lengths.size()) {
    int total = 0;
    for (int length : lengths) total += length;
    buffer.assign(static_cast<size_t>(total), '\0');
    int offset = 0;
    for (size_t i = 0; i < lengths.size(); ++i) {
      bindings.push_back({buffer.data() + offset, lengths[i], &indicators[i], 0, 0});
      offset += lengths[i];
    }
  }
  std::string text(size_t i) const { return {bindings[i].data, static_cast<size_t>(bindings[i].returned_bytes)}; }
  void clear() { std::fill(buffer.begin(), buffer.end(), '\0'); }

  std::vector<char> buffer;
  std::vector<int16_t> indicators;
  std::vector<Binding> bindings;
};

class SqliteTest : public ::testing::Test {
 protected:
  void TearDown() override { connection_.reset(); }

  // Runs `sql` on the database file outside the layer.
  void setup_sql(const std::string& sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
    char* error = nullptr;
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK) << (error ? error : "");
    sqlite3_free(error);
    sqlite3_close(db);
  }

  int connect(int query_timeout = 60) {
    ConnectParams params;
    params.server_id = path_;
    params.query_timeout = query_timeout;
    return sqlite_driver().connect(params, connection_, diag_);
  }

  // Prepares, opens and describes `sql` on a fresh connection.
  std::unique_ptr<Statement> query(const std::string& sql, std::vector<ColumnDesc>& columns) {
    if (!connection_ && connect() != 0) return nullptr;
    std::unique_ptr<Statement> statement = connection_->prepare(sql);
    if (!statement) return nullptr;
    EXPECT_EQ(statement->open(), 0) << statement->diagnostics().text;
    EXPECT_EQ(statement->describe(columns), 0) << statement->diagnostics().text;
    return statement;
  }

  qrx::testing::TempDir dir_;
  std::string path_ = dir_.file("MON.db");
  std::unique_ptr<Connection> connection_;
  Diagnostics diag_;
};

struct DeclaredType {
  const char* declared;
  int type;
  int precision;
  int scale;
  int length;
  int size_chars;
  int size_bytes;
  int charset;
};

TEST_F(SqliteTest, DescribeMapsDeclaredTypesOntoCodesAndSizes) {
  const DeclaredType cases[] = {
      {"VARCHAR2(200)", kTypeVarchar, 0, 0, 200, 200, 800, kUtf8},
      {"VARCHAR(100)", kTypeVarchar, 0, 0, 100, 100, 400, kUtf8},
      {"NVARCHAR2(10)", kTypeVarchar, 0, 0, 10, 10, 40, kUtf8},
      {"CHAR(8)", kTypeChar, 0, 0, 8, 8, 32, kUtf8},
      {"CHAR", kTypeChar, 0, 0, 1, 1, 4, kUtf8},
      {"TEXT", kTypeVarchar, 0, 0, 4000, 4000, 16000, kUtf8},
      {"NUMBER(10,2)", kTypeNumber, 10, 2, 10, 12, 12, kNonCharacter},
      {"NUMBER", kTypeNumber, 0, 0, 0, 21, 21, kNonCharacter},
      {"NUMBER(5,-2)", kTypeNumber, 5, -2, 5, 9, 9, kNonCharacter},
      {"NUMERIC", kTypeNumber, 0, 0, 0, 21, 21, kNonCharacter},
      {"DECIMAL(8, 3)", kTypeNumber, 8, 3, 8, 10, 10, kNonCharacter},
      {"INTEGER", kTypeNumber, 0, 0, 0, 21, 21, kNonCharacter},
      {"REAL", kTypeNumber, 0, 0, 0, 21, 21, kNonCharacter},
      {"BOOLEAN", kTypeNumber, 1, 0, 1, 3, 3, kNonCharacter},
      {"DATE", kTypeDate, 0, 0, 9, 9, 9, kNonCharacter},
      {"TIMESTAMP", kTypeVarchar, 0, 0, 19, 19, 76, kUtf8},
      {"TIMESTAMP(6)", kTypeVarchar, 0, 0, 26, 26, 104, kUtf8},
      {"DATETIME", kTypeVarchar, 0, 0, 19, 19, 76, kUtf8},
      {"RAW(16)", kTypeRaw, 0, 0, 16, 32, 32, kNonCharacter},
      {"LONG", kTypeLong, 0, 0, 0, 0, 0, kNonCharacter},
      {"LONG RAW", kTypeLongRaw, 0, 0, 0, 0, 0, kNonCharacter},
      {"ROWID", kTypeRowid, 0, 0, 0, 0, 0, kNonCharacter},
      {"CLOB", kTypeClob, 0, 0, 0, 0, 0, kNonCharacter},
      {"BLOB", kTypeBlob, 0, 0, 0, 0, 0, kNonCharacter},
      {"UNSIGNED BIG INT", kTypeNumber, 0, 0, 0, 21, 21, kNonCharacter},
      {"NATIVE CHARACTER(70)", kTypeVarchar, 0, 0, 70, 70, 280, kUtf8},
      {"MONEY", kTypeNumber, 0, 0, 0, 21, 21, kNonCharacter},
  };
  std::string create = "CREATE TABLE t (";
  for (size_t i = 0; i < std::size(cases); ++i) {
    create += (i ? ", c" : "c") + std::to_string(i) + " " + cases[i].declared;
  }
  setup_sql(create + ");");
  std::vector<ColumnDesc> columns;
  auto statement = query("SELECT * FROM t", columns);
  ASSERT_TRUE(statement);
  ASSERT_EQ(columns.size(), std::size(cases));
  for (size_t i = 0; i < std::size(cases); ++i) {
    const DeclaredType& want = cases[i];
    const ColumnDesc& got = columns[i];
    SCOPED_TRACE(want.declared);
    EXPECT_EQ(got.name, "c" + std::to_string(i));
    EXPECT_EQ(got.type, want.type);
    EXPECT_EQ(got.precision, want.precision);
    EXPECT_EQ(got.scale, want.scale);
    EXPECT_EQ(got.length, want.length);
    EXPECT_EQ(got.size_chars, want.size_chars);
    EXPECT_EQ(got.size_bytes, want.size_bytes);
    EXPECT_EQ(got.charset, want.charset);
  }
}

TEST_F(SqliteTest, ExpressionColumnsTakeTheirTypeFromTheFirstRow) {
  setup_sql("CREATE TABLE t (x);");
  std::vector<ColumnDesc> columns;
  auto statement = query("SELECT count(*), 1.5, 'abc', x'00ff', NULL, x FROM (SELECT 1 AS x)", columns);
  ASSERT_TRUE(statement);
  ASSERT_EQ(columns.size(), 6u);
  EXPECT_EQ(columns[0].type, kTypeNumber);
  EXPECT_EQ(columns[1].type, kTypeNumber);
  EXPECT_EQ(columns[2].type, kTypeVarchar);
  EXPECT_EQ(columns[3].type, kTypeRaw);
  EXPECT_EQ(columns[3].size_chars, 384);
  EXPECT_EQ(columns[4].type, kTypeVarchar);
  EXPECT_EQ(columns[5].type, kTypeNumber);

  // Without a row there is nothing to go by: the column is character data.
  auto empty = query("SELECT x FROM t", columns);
  ASSERT_TRUE(empty);
  EXPECT_EQ(columns[0].type, kTypeVarchar);
}

// Characters are counted eight bytes at a time: texts of every length
// around a word, with two-, three- and four-byte characters anywhere in
// them, and a place that cuts some of them short.
TEST(PutTextTest, CountsCharactersOfTextsOfEveryLength) {
  const std::string pieces[] = {"a", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "~"};
  for (int length = 0; length < 40; ++length) {
    std::string text;
    int chars = 0;
    for (int i = 0; static_cast<int>(text.size()) < length; ++i, ++chars) text += pieces[(i * 7 + length) % 5];
    for (int place : {64, 9}) {
      SCOPED_TRACE(std::to_string(length) + " bytes into " + std::to_string(place));
      std::vector<char> buffer(static_cast<size_t>(place));
      int16_t indicator = 0;
      Binding binding{buffer.data(), place, &indicator, 0, 0};
      put_text(binding, text);
      const std::string kept(buffer.data(), static_cast<size_t>(binding.returned_bytes));
      int expected = 0;
      for (unsigned char c : kept) expected += (c & 0xC0) != 0x80;
      EXPECT_EQ(binding.returned_chars, expected);
      if (place > static_cast<int>(text.size())) {
        EXPECT_EQ(binding.returned_chars, chars);
      }
    }
  }
}

TEST_F(SqliteTest, FetchDeliversCharacterDataWithIndicators) {
  setup_sql(
      "CREATE TABLE t (name VARCHAR2(30), amount NUMBER(10,2), n NUMBER, day DATE, bin RAW(4), note TEXT);"
      "INSERT INTO t VALUES ('SYSTEM', 12.5, -3, '2026-01-05', x'0aff', 'hello');"
      "INSERT INTO t VALUES (NULL, 0.25, 1e20, '2026-12-10 23:59:59', NULL, 'h\xC3\xA9llo');");
  std::vector<ColumnDesc> columns;
  auto statement = query("SELECT * FROM t ORDER BY rowid", columns);
  ASSERT_TRUE(statement);
  // The note column's place is one byte short of the second row's text, which
  // would end inside its two-byte character.
  Row row({90, 12, 21, 9, 8, 2});

  ASSERT_EQ(statement->fetch(row.bindings), 0);
  EXPECT_EQ(row.text(0), "SYSTEM");
  EXPECT_EQ(row.bindings[0].returned_chars, 6);
  EXPECT_EQ(row.text(1), "12.5");
  EXPECT_EQ(row.text(2), "-3");
  EXPECT_EQ(row.text(3), "05-JAN-26");
  EXPECT_EQ(row.text(4), "0AFF");
  EXPECT_EQ(row.text(5), "he");
  EXPECT_EQ(row.indicators[5], 5);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(row.indicators[static_cast<size_t>(i)], 0) << i;

  row.clear();
  ASSERT_EQ(statement->fetch(row.bindings), 0);
  EXPECT_EQ(row.indicators[0], -1);
  EXPECT_EQ(row.bindings[0].returned_bytes, 0);
  EXPECT_EQ(row.text(1), "0.25");
  EXPECT_EQ(row.text(2), "100000000000000000000");
  EXPECT_EQ(row.text(3), "10-DEC-26");
  EXPECT_EQ(row.indicators[4], -1);
  EXPECT_EQ(row.text(5), "h");
  EXPECT_EQ(row.indicators[5], 6);

  EXPECT_EQ(statement->fetch(row.bindings), kNoData);
  EXPECT_EQ(statement->fetch(row.bindings), kNoData);
  EXPECT_EQ(statement->close(), 0);
}

TEST_F(SqliteTest, InvalidNumberFailsOnlyItsRow) {
  setup_sql("CREATE TABLE t (n NUMBER(6)); INSERT INTO t VALUES (1), ('abc'), (3);");
  std::vector<ColumnDesc> columns;
  auto statement = query("SELECT n FROM t ORDER BY rowid", columns);
  ASSERT_TRUE(statement);
  Row row({8});
  ASSERT_EQ(statement->fetch(row.bindings), 0);
  EXPECT_EQ(row.text(0), "1");
  ASSERT_EQ(statement->fetch(row.bindings), kInvalidNumber);
  EXPECT_NE(statement->diagnostics().text.find("abc"), std::string::npos);
  ASSERT_EQ(statement->fetch(row.bindings), 0);
  EXPECT_EQ(row.text(0), "3");
  EXPECT_EQ(statement->fetch(row.bindings), kNoData);
}

TEST_F(SqliteTest, NumbersAreRoundedToTheirPlaceOrRefused) {
  setup_sql("CREATE TABLE t (n NUMBER(4,2)); INSERT INTO t VALUES (3.14159), (1234567);");
  std::vector<ColumnDesc> columns;
  auto statement = query("SELECT n FROM t ORDER BY rowid", columns);
  ASSERT_TRUE(statement);
  Row row({6});
  ASSERT_EQ(statement->fetch(row.bindings), 0);
  EXPECT_EQ(row.text(0), "3.1416");
  // Cutting digits off an integer would store a wrong number.
  EXPECT_EQ(statement->fetch(row.bindings), kValueTooLarge);
}

TEST_F(SqliteTest, DateColumnsRejectTextsThatAreNoDates) {
  setup_sql("CREATE TABLE t (d DATE); INSERT INTO t VALUES ('yesterday'), (1767571200), (2461045.5), ('2026-02-30');");
  std::vector<ColumnDesc> columns;
  auto statement = query("SELECT d FROM t ORDER BY rowid", columns);
  ASSERT_TRUE(statement);
  Row row({9});
  EXPECT_EQ(statement->fetch(row.bindings), kNotADate);
  ASSERT_EQ(statement->fetch(row.bindings), 0);  // Unix seconds
  EXPECT_EQ(row.text(0), "05-JAN-26");
  ASSERT_EQ(statement->fetch(row.bindings), 0);  // a Julian day
  EXPECT_EQ(row.text(0), "05-JAN-26");
  EXPECT_EQ(statement->fetch(row.bindings), kNotADate);
}

TEST_F(SqliteTest, SyntaxErrorFailsThePrepareWithTheMessage) {
  setup_sql("CREATE TABLE t (n NUMBER);");
  ASSERT_EQ(connect(), 0);
  EXPECT_EQ(connection_->prepare("SELEC n FROM t"), nullptr);
  const Diagnostics& diag = connection_->diagnostics();
  EXPECT_LT(diag.code, 0);
  EXPECT_NE(diag.code, kNotLoggedOn);
  EXPECT_NE(diag.text.find("syntax error"), std::string::npos) << diag.text;
  EXPECT_LE(diag.message().size(), 70u);

  EXPECT_EQ(connection_->prepare("SELECT n FROM missing"), nullptr);
  EXPECT_NE(connection_->diagnostics().text.find("no such table"), std::string::npos);
}

TEST_F(SqliteTest, ServerIdNamesAFileInTheHomeDirectory) {
  setup_sql("CREATE TABLE t (n NUMBER);");
  ConnectParams params;
  params.server_id = "MON";
  params.home = dir_.path();
  EXPECT_EQ(sqlite_driver().connect(params, connection_, diag_), 0) << diag_.text;
  ASSERT_TRUE(connection_);
  EXPECT_TRUE(connection_->connected());

  // A server id without a database must not create an empty one.
  params.server_id = "NOSUCH";
  std::unique_ptr<Connection> other;
  EXPECT_LT(sqlite_driver().connect(params, other, diag_), 0);
  EXPECT_FALSE(other);
  EXPECT_NE(diag_.text.find("NOSUCH.db"), std::string::npos) << diag_.text;
  EXPECT_FALSE(fs::exists(dir_.file("NOSUCH.db")));
}

TEST_F(SqliteTest, QueryTimeOutCancelsARunawayStatement) {
  setup_sql("CREATE TABLE t (n NUMBER); INSERT INTO t VALUES (7);");
  ASSERT_EQ(connect(/*query_timeout=*/1), 0);
  auto runaway =
      connection_->prepare("WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c) SELECT count(*) FROM c");
  ASSERT_TRUE(runaway);
  EXPECT_EQ(runaway->open(), kCancelled);
  EXPECT_NE(runaway->diagnostics().text.find("time-out of 1 s"), std::string::npos) << runaway->diagnostics().text;

  // The session goes on with the next statement.
  std::vector<ColumnDesc> columns;
  auto next = query("SELECT n FROM t", columns);
  ASSERT_TRUE(next);
  Row row({21});
  ASSERT_EQ(next->fetch(row.bindings), 0);
  EXPECT_EQ(row.text(0), "7");
}

TEST_F(SqliteTest, RaisedCancelFlagCancelsTheQueryButNotTheCommit) {
  setup_sql("CREATE TABLE t (n NUMBER);");
  volatile std::sig_atomic_t flag = 0;
  ConnectParams params;
  params.server_id = path_;
  params.cancel_flag = &flag;
  ASSERT_EQ(sqlite_driver().connect(params, connection_, diag_), 0);
  auto insert = connection_->prepare("INSERT INTO t VALUES (5)");
  ASSERT_TRUE(insert);
  ASSERT_EQ(insert->open(), 0) << insert->diagnostics().text;

  flag = 1;  // as the signal handler raises it
  auto runaway =
      connection_->prepare("WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c) SELECT count(*) FROM c");
  ASSERT_TRUE(runaway);
  EXPECT_EQ(runaway->open(), kCancelled);
  EXPECT_EQ(runaway->diagnostics().text, "statement cancelled: the collector is shutting down");
  runaway->close();
  // The shutdown's commit still runs and keeps the work.
  EXPECT_EQ(connection_->commit(/*release=*/true), 0) << connection_->diagnostics().text;
  connection_.reset();
  ASSERT_EQ(connect(), 0);
  std::vector<ColumnDesc> columns;
  auto kept = query("SELECT n FROM t", columns);
  ASSERT_TRUE(kept);
  Row row({21});
  ASSERT_EQ(kept->fetch(row.bindings), 0);
  EXPECT_EQ(row.text(0), "5");
}

TEST_F(SqliteTest, ReleasedSessionDetachesItsStatements) {
  setup_sql("CREATE TABLE t (n NUMBER); INSERT INTO t VALUES (1), (2);");
  std::vector<ColumnDesc> columns;
  auto statement = query("SELECT n FROM t", columns);
  ASSERT_TRUE(statement);
  EXPECT_EQ(connection_->commit(/*release=*/true), 0);
  EXPECT_FALSE(connection_->connected());
  Row row({21});
  EXPECT_EQ(statement->fetch(row.bindings), kNotLoggedOn);
  EXPECT_EQ(connection_->prepare("SELECT 1"), nullptr);
  EXPECT_EQ(connection_->diagnostics().code, kNotLoggedOn);
  EXPECT_EQ(connection_->rollback(true), kNotLoggedOn);
}

TEST_F(SqliteTest, StatementOutlivesItsConnection) {
  setup_sql("CREATE TABLE t (n NUMBER); INSERT INTO t VALUES (1);");
  std::vector<ColumnDesc> columns;
  auto statement = query("SELECT n FROM t", columns);
  ASSERT_TRUE(statement);
  connection_.reset();
  Row row({21});
  EXPECT_EQ(statement->fetch(row.bindings), kNotLoggedOn);
  EXPECT_EQ(statement->close(), kNotLoggedOn);
}

TEST_F(SqliteTest, CommitAndRollbackEndTheOpenTransaction) {
  setup_sql("CREATE TABLE t (n NUMBER);");
  ASSERT_EQ(connect(), 0);
  for (const char* sql : {"BEGIN", "INSERT INTO t VALUES (1)"}) {
    auto statement = connection_->prepare(sql);
    ASSERT_TRUE(statement);
    ASSERT_EQ(statement->open(), 0);
  }
  EXPECT_EQ(connection_->rollback(false), 0);
  for (const char* sql : {"BEGIN", "INSERT INTO t VALUES (2)"}) {
    auto statement = connection_->prepare(sql);
    ASSERT_EQ(statement->open(), 0);
  }
  EXPECT_EQ(connection_->commit(false), 0);
  std::vector<ColumnDesc> columns;
  auto count = query("SELECT group_concat(n) FROM t", columns);
  Row row({10});
  ASSERT_EQ(count->fetch(row.bindings), 0);
  EXPECT_EQ(row.text(0), "2");
}

TEST(SqlrtDriverTest, BackendsAreChosenByNameAndSettingsComeFromTheEnvironment) {
  EXPECT_EQ(driver_named("sqlite"), &sqlite_driver());
  EXPECT_EQ(driver_named("ODBC"), &odbc_driver());
  EXPECT_EQ(driver_named("oracle"), nullptr);

  ::setenv("COLL_DB_DRIVER", "odbc", 1);
  ::setenv("COLL_QUERY_TIMEOUT", "5", 1);
  ::setenv("COLL_CONNECT_TIMEOUT", "soon", 1);
  qrx::testing::LogCapture log;
  Settings settings = qrx::database_settings();
  EXPECT_EQ(log.count("uen0022"), 1) << log.text();
  ::unsetenv("COLL_DB_DRIVER");
  ::unsetenv("COLL_QUERY_TIMEOUT");
  ::unsetenv("COLL_CONNECT_TIMEOUT");
  EXPECT_EQ(settings.driver, "odbc");
  EXPECT_EQ(settings.query_timeout, 5);
  EXPECT_EQ(settings.connect_timeout, 15);
  EXPECT_EQ(qrx::database_settings().driver, "sqlite");
}

struct NumberCase {
  const char* text;
  const char* canonical;  // null: not a number
};

TEST(SqlrtValueTextTest, NumbersBecomePlainDecimals) {
  const NumberCase cases[] = {
      {"00012.500", "12.5"}, {"-0.0", "0"},     {" 42 ", "42"},       {"1e3", "1000"},
      {"1.5E-3", "0.0015"},  {".5", "0.5"},     {"12.", "12"},        {"+7", "7"},
      {"abc", nullptr},      {"", nullptr},     {".", nullptr},       {"1e", nullptr},
      {"12abc", nullptr},    {"1e9999", nullptr},
  };
  for (const NumberCase& c : cases) {
    std::optional<std::string> got = canonical_number(c.text);
    if (c.canonical) {
      EXPECT_EQ(got.value_or("<none>"), c.canonical) << c.text;
    } else {
      EXPECT_FALSE(got) << c.text;
    }
  }
}

struct FitCase {
  const char* number;
  int width;
  const char* placed;  // null: refused
};

TEST(SqlrtValueTextTest, NumbersAreRoundedHalfUpToFitTheirPlace) {
  const FitCase cases[] = {
      {"123.456", 5, "123.5"}, {"99.99", 3, "100"},  {"-0.004", 4, "0"},
      {"12345", 4, nullptr},   {"99.99", 2, nullptr}, {"-12.5", 3, "-13"}, {"1.05", 3, "1.1"},
  };
  for (const FitCase& c : cases) {
    char place[32] = {};
    int16_t indicator = 99;
    Binding binding{place, c.width, &indicator, 0, 0};
    std::optional<std::string> number = canonical_number(c.number);
    ASSERT_TRUE(number) << c.number;
    int code = put_number(binding, *number);
    if (c.placed) {
      EXPECT_EQ(code, 0) << c.number;
      EXPECT_EQ(std::string(place, static_cast<size_t>(binding.returned_bytes)), c.placed) << c.number;
    } else {
      EXPECT_EQ(code, kValueTooLarge) << c.number;
    }
  }
  EXPECT_EQ(double_text(0.1 + 0.2).value_or("<none>"), "0.3");
  EXPECT_EQ(double_text(-2.5e-7).value_or("<none>"), "-0.00000025");
}

}  // namespace
}  // namespace qrx::sqlrt
