// Runs against the private PostgreSQL server that scripts/test starts
// (scripts/pg-start); skipped when QRX_TEST_ODBC does not name its data source.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "base/codepage.h"
#include "sqlrt/backend_support.h"
#include "sqlrt/sqlrt.h"

namespace qrx::sqlrt {
namespace {

std::string env_or_empty(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

class OdbcTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (env_or_empty("QRX_TEST_ODBC").empty()) GTEST_SKIP() << "QRX_TEST_ODBC is not set (scripts/pg-start)";
  }

  static ConnectParams params(int query_timeout = 60) {
    ConnectParams p;
    p.server_id = env_or_empty("QRX_TEST_ODBC");
    p.logon_id = env_or_empty("QRX_TEST_ODBC_USER");
    p.password = env_or_empty("QRX_TEST_ODBC_PASSWORD");
    p.query_timeout = query_timeout;
    return p;
  }

  // A new session; fails the test when the logon fails.
  std::unique_ptr<Connection> logon(int query_timeout = 60) {
    std::unique_ptr<Connection> connection;
    Diagnostics diag;
    EXPECT_EQ(odbc_driver().connect(params(query_timeout), connection, diag), 0) << diag.text;
    return connection;
  }

  // Prepares and opens `sql`, describing it into `columns`.
  static std::unique_ptr<Statement> query(Connection& connection, const std::string& sql,
                                          std::vector<ColumnDesc>& columns) {
    std::unique_ptr<Statement> statement = connection.prepare(sql);
    EXPECT_TRUE(statement) << connection.diagnostics().text;
    if (!statement) return nullptr;
    EXPECT_EQ(statement->open(), 0) << statement->diagnostics().text;
    EXPECT_EQ(statement->describe(columns), 0) << statement->diagnostics().text;
    return statement;
  }

  // The first column of the single row of `sql` as text.
  static std::string single_value(Connection& connection, const std::string& sql) {
    std::vector<ColumnDesc> columns;
    auto statement = query(connection, sql, columns);
    if (!statement) return "<failed>";
    char place[128] = {};
    int16_t indicator = 0;
    Binding binding{place, sizeof place, &indicator, 0, 0};
    if (statement->fetch({&binding, 1}) != 0) return "<" + statement->diagnostics().text + ">";
    return fetched_text(columns.at(0), binding);
  }

  // A fetched value as UTF-8: text columns arrive as UTF-16.
  static std::string fetched_text(const ColumnDesc& column, const Binding& binding) {
    const std::string_view bytes(binding.data, static_cast<size_t>(binding.returned_bytes));
    return column.charset == kUnicode ? utf8_from_utf16(bytes) : std::string(bytes);
  }
};

struct SqlTypeCase {
  const char* expression;
  int type;
  int precision;
  int scale;
  int size_chars;
  const char* value;  // fetched text; null: NULL
};

TEST_F(OdbcTest, DescribeAndFetchMapSqlTypesOntoCodesAndTexts) {
  const SqlTypeCase cases[] = {
      {"'SYSTEM'::varchar(30)", kTypeVarchar, 0, 0, 30, "SYSTEM"},
      {"'AB'::char(8)", kTypeChar, 0, 0, 8, "AB      "},
      {"'h\xC3\xA9llo'::text", kTypeVarchar, 0, 0, 4000, "h\xC3\xA9llo"},
      {"12.50::numeric(10,2)", kTypeNumber, 10, 2, 12, "12.5"},
      {"(-0.25)::numeric(6,3)", kTypeNumber, 6, 3, 8, "-0.25"},
      {"2147483647::integer", kTypeNumber, 10, 0, 12, "2147483647"},
      {"-9223372036854775807::bigint", kTypeNumber, 19, 0, 21, "-9223372036854775807"},
      {"7::smallint", kTypeNumber, 5, 0, 7, "7"},
      {"1.5::float8", kTypeNumber, 0, 0, 21, "1.5"},
      {"NULL::integer", kTypeNumber, 10, 0, 12, nullptr},
      {"DATE '2026-01-05'", kTypeDate, 0, 0, 9, "05-JAN-26"},
      {"TIMESTAMP '2026-01-05 13:14:15'", kTypeVarchar, 0, 0, 26, "2026-01-05 13:14:15"},
  };
  auto connection = logon();
  ASSERT_TRUE(connection);
  std::string sql = "SELECT ";
  for (size_t i = 0; i < std::size(cases); ++i) sql += (i ? ", " : "") + std::string(cases[i].expression);
  std::vector<ColumnDesc> columns;
  auto statement = query(*connection, sql, columns);
  ASSERT_TRUE(statement);
  ASSERT_EQ(columns.size(), std::size(cases));
  std::vector<char> buffer(std::size(cases) * 128);
  std::vector<int16_t> indicators(std::size(cases));
  std::vector<Binding> bindings;
  for (size_t i = 0; i < std::size(cases); ++i) bindings.push_back({&buffer[i * 128], 128, &indicators[i], 0, 0});
  ASSERT_EQ(statement->fetch(bindings), 0) << statement->diagnostics().text;
  for (size_t i = 0; i < std::size(cases); ++i) {
    const SqlTypeCase& want = cases[i];
    SCOPED_TRACE(want.expression);
    EXPECT_EQ(columns[i].type, want.type);
    EXPECT_EQ(columns[i].precision, want.precision);
    EXPECT_EQ(columns[i].scale, want.scale);
    EXPECT_EQ(columns[i].size_chars, want.size_chars);
    // Text arrives as UTF-16, numbers and dates as their ASCII texts.
    EXPECT_EQ(columns[i].charset, want.type == kTypeVarchar || want.type == kTypeChar ? kUnicode : kNonCharacter);
    if (want.value) {
      EXPECT_EQ(indicators[i], 0);
      EXPECT_EQ(fetched_text(columns[i], bindings[i]), want.value);
    } else {
      EXPECT_EQ(indicators[i], -1);
    }
  }
  EXPECT_EQ(statement->fetch(bindings), kNoData);
}

TEST_F(OdbcTest, WrongPasswordIsAnInvalidLogon) {
  ConnectParams p = params();
  p.password = "not-the-password";
  std::unique_ptr<Connection> connection;
  Diagnostics diag;
  EXPECT_EQ(odbc_driver().connect(p, connection, diag), kInvalidLogon) << diag.text;
  EXPECT_FALSE(connection);
  EXPECT_LE(diag.message().size(), 70u);
}

TEST_F(OdbcTest, UnknownDataSourceFailsWithTheDriverManagersMessage) {
  ConnectParams p = params();
  p.server_id = "no-such-dsn";
  std::unique_ptr<Connection> connection;
  Diagnostics diag;
  int code = odbc_driver().connect(p, connection, diag);
  EXPECT_LT(code, 0);
  EXPECT_NE(code, kInvalidLogon);
  EXPECT_NE(diag.text.find("IM002"), std::string::npos) << diag.text;
}

TEST_F(OdbcTest, LogonToAServerThatNeverAnswersTimesOut) {
  // A listening socket that nobody serves: the connection is made, the
  // server's greeting never comes.
  int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 4), 0);
  ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);

  ConnectParams p = params();
  p.server_id = "Driver=QRX PostgreSQL;Servername=127.0.0.1;Database=postgres;Port=" +
                std::to_string(ntohs(address.sin_port));
  p.connect_timeout = 1;
  std::unique_ptr<Connection> connection;
  Diagnostics diag;
  EXPECT_EQ(odbc_driver().connect(p, connection, diag), kCancelled) << diag.text;
  EXPECT_NE(diag.text.find("logon did not complete within 1 s"), std::string::npos) << diag.text;
  ::close(listener);
}

TEST_F(OdbcTest, StatementErrorsCarryTheServersMessage) {
  auto connection = logon();
  ASSERT_TRUE(connection);
  auto statement = connection->prepare("SELEC 1");
  int code = statement ? statement->open() : connection->diagnostics().code;
  const Diagnostics& diag = statement ? statement->diagnostics() : connection->diagnostics();
  EXPECT_LT(code, 0);
  EXPECT_NE(code, kNotLoggedOn);
  EXPECT_NE(diag.text.find("syntax error"), std::string::npos) << diag.text;
  EXPECT_TRUE(connection->connected());
}

TEST_F(OdbcTest, TextThatIsNoNumberIsAnInvalidNumber) {
  auto connection = logon();
  ASSERT_TRUE(connection);
  auto statement = connection->prepare("SELECT 'abc'::integer");
  ASSERT_TRUE(statement);
  EXPECT_EQ(statement->open(), kInvalidNumber) << statement->diagnostics().text;
}

TEST_F(OdbcTest, QueryTimeOutCancelsASleepingStatement) {
  auto connection = logon(/*query_timeout=*/1);
  ASSERT_TRUE(connection);
  auto sleeping = connection->prepare("SELECT pg_sleep(30)");
  ASSERT_TRUE(sleeping);
  EXPECT_EQ(sleeping->open(), kCancelled) << sleeping->diagnostics().text;
  EXPECT_NE(sleeping->diagnostics().text.find("time-out of 1 s"), std::string::npos);
  EXPECT_TRUE(connection->connected());

  // After the caller's rollback the session runs the next statement.
  EXPECT_EQ(connection->rollback(false), 0) << connection->diagnostics().text;
  EXPECT_EQ(single_value(*connection, "SELECT 41 + 1"), "42");
}

TEST_F(OdbcTest, RaisedCancelFlagCancelsTheQueryInFlightOnTheServer) {
  volatile std::sig_atomic_t flag = 0;
  ConnectParams p = params();
  p.cancel_flag = &flag;
  std::unique_ptr<Connection> connection;
  Diagnostics diag;
  ASSERT_EQ(odbc_driver().connect(p, connection, diag), 0) << diag.text;
  const std::string pid = single_value(*connection, "SELECT pg_backend_pid()");
  auto sleeping = connection->prepare("SELECT pg_sleep(30)");
  ASSERT_TRUE(sleeping);
  // The flag rises while the query runs on the server, as a signal would.
  std::thread raiser([&flag] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    flag = 1;
  });
  const int code = sleeping->open();
  raiser.join();
  EXPECT_EQ(code, kCancelled) << sleeping->diagnostics().text;
  EXPECT_EQ(sleeping->diagnostics().text.rfind("statement cancelled: the collector is shutting down: ", 0), 0u)
      << sleeping->diagnostics().text;
  // The server no longer runs it.
  auto observer = logon();
  ASSERT_TRUE(observer);
  EXPECT_EQ(single_value(*observer, "SELECT count(*) FROM pg_stat_activity WHERE pid = " + pid +
                                        " AND state = 'active'"),
            "0");
  EXPECT_EQ(connection->rollback(true), 0) << connection->diagnostics().text;
}

TEST_F(OdbcTest, LostSessionIsNotLoggedOnAndALaterLogonWorks) {
  auto connection = logon();
  ASSERT_TRUE(connection);
  std::string pid = single_value(*connection, "SELECT pg_backend_pid()");
  std::vector<ColumnDesc> columns;
  auto statement = query(*connection, "SELECT generate_series(1, 3)", columns);
  ASSERT_TRUE(statement);
  char place[21];
  int16_t indicator = 0;
  Binding binding{place, sizeof place, &indicator, 0, 0};
  ASSERT_EQ(statement->fetch({&binding, 1}), 0);

  auto killer = logon();
  ASSERT_TRUE(killer);
  EXPECT_EQ(single_value(*killer, "SELECT pg_terminate_backend(" + pid + ")"), "1");

  auto next = connection->prepare("SELECT 1");
  int code = next ? next->open() : connection->diagnostics().code;
  EXPECT_EQ(code, kNotLoggedOn) << (next ? next->diagnostics().text : connection->diagnostics().text);
  EXPECT_FALSE(connection->connected());
  EXPECT_EQ(statement->fetch({&binding, 1}), kNotLoggedOn);
  EXPECT_EQ(connection->rollback(true), kNotLoggedOn);

  auto again = logon();
  ASSERT_TRUE(again);
  EXPECT_EQ(single_value(*again, "SELECT 'back'"), "back");
}

TEST_F(OdbcTest, CommitKeepsAndRollbackDropsTheWork) {
  auto connection = logon();
  ASSERT_TRUE(connection);
  for (const char* sql : {"CREATE TEMP TABLE t (n integer)", "INSERT INTO t VALUES (1)"}) {
    auto statement = connection->prepare(sql);
    ASSERT_TRUE(statement);
    ASSERT_EQ(statement->open(), 0) << statement->diagnostics().text;
  }
  EXPECT_EQ(connection->commit(false), 0);
  auto insert = connection->prepare("INSERT INTO t VALUES (2)");
  ASSERT_EQ(insert->open(), 0);
  EXPECT_EQ(connection->rollback(false), 0);
  EXPECT_EQ(single_value(*connection, "SELECT string_agg(n::text, ',') FROM t"), "1");
  EXPECT_EQ(connection->commit(true), 0);
  EXPECT_FALSE(connection->connected());
}

}  // namespace
}  // namespace qrx::sqlrt
