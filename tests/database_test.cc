// The database session: logon rules, the statement check and commit modes
// (through a fault-injecting driver), then whole cursor runs against the
// private PostgreSQL server that scripts/test starts (skipped without it).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "collector/exit_path.h"
#include "ctl/control_parse.h"
#include "exec/dynamic_fetch.h"
#include "session/database.h"
#include "sqlrt/backend_support.h"
#include "sqlrt/sqlrt.h"
#include "support/database_fixture.h"

namespace qrx {
namespace {

// What a fake session was asked to do.
struct FakeCalls {
  int connects = 0;
  int commits = 0;
  int rollbacks = 0;
  bool last_release = false;
};

class FakeConnection : public sqlrt::Connection {
 public:
  FakeConnection(FakeCalls& calls, int commit_code) : calls_(calls), commit_code_(commit_code) {}
  std::unique_ptr<sqlrt::Statement> prepare(std::string_view) override {
    diag_.set(-942, "table or view does not exist");
    return nullptr;
  }
  int commit(bool release) override {
    ++calls_.commits;
    calls_.last_release = release;
    released_ = released_ || release;
    return diag_.set(commit_code_, commit_code_ ? "commit refused" : "");
  }
  int rollback(bool release) override {
    ++calls_.rollbacks;
    calls_.last_release = release;
    released_ = released_ || release;
    return diag_.clear();
  }
  bool connected() const override { return !released_; }
  const sqlrt::Diagnostics& diagnostics() const override { return diag_; }

 private:
  FakeCalls& calls_;
  int commit_code_;
  bool released_ = false;
  sqlrt::Diagnostics diag_;
};

// Answers every logon with `code`; 0 and 28002 hand out a fake session.
class FakeDriver : public sqlrt::Driver {
 public:
  int connect(const sqlrt::ConnectParams&, std::unique_ptr<sqlrt::Connection>& out,
              sqlrt::Diagnostics& diag) override {
    ++calls.connects;
    if (code == 0 || code == sqlrt::kPasswordExpiring) out = std::make_unique<FakeConnection>(calls, commit_code);
    return diag.set(code, code ? "logon refused by the server" : "");
  }
  int code = 0;
  int commit_code = 0;
  FakeCalls calls;
};

class DatabaseTest : public testing::DatabaseFixture {
 protected:
  void SetUp() override {
    DatabaseFixture::SetUp();
    collector_.logon_id = "mon";
    sqlrt::set_driver_override(&driver_);
    set_server_status_reporter([this](int code) { return statuses.push_back(code), 0; });
  }

  // Logs on through the fake driver.
  void logon() {
    ASSERT_EQ(connect_to_DB(collector_), 0);
    db_info.open = 1;
  }

  FakeDriver driver_;
  std::vector<int> statuses;
};

TEST_F(DatabaseTest, InvalidLogonIsStickyAndLaterRunsNeverReachTheServer) {
  driver_.code = sqlrt::kInvalidLogon;
  curs& c = cursor("FIRST", "SELECT 1");
  EXPECT_EQ(run(c), sqlrt::kInvalidLogon);
  EXPECT_TRUE(log_.has("rcd0100", 'e', "Unable to connect to SQLite at collector"));
  EXPECT_TRUE(log_.has("rcd0105", 'e', "Connect sql code = -1017"));
  EXPECT_TRUE(log_.has("rcd0105", 'e', "Connect sql code msg detail = logon refused by the server"));
  EXPECT_EQ(collector_.status, "CNCT");
  EXPECT_EQ(c.result_code, -1017);
  EXPECT_EQ(c.status, "           -1017");

  curs& later = cursor("LATER", "SELECT 1");
  EXPECT_EQ(run(later), sqlrt::kInvalidLogon);
  EXPECT_EQ(run(later), sqlrt::kInvalidLogon);
  EXPECT_EQ(driver_.calls.connects, 1);
  EXPECT_EQ(log_.count("rcd0110"), 1);
  EXPECT_TRUE(log_.has("rcd0110", 's', "Invalid SQLite logon id (mon) or password given"));
  EXPECT_EQ(statuses, (std::vector<int>{-1017, -1017, -1017}));
  EXPECT_TRUE(database_unreachable());
}

// A failure that lasts, as it begins and ends: whether the collector had
// been connected decides between "lost" and "cannot connect".
struct LastingFailureCase {
  const char* what;
  int code;
  bool connected_before;
  const char* start_id;
  char start_severity;
  const char* start_text;
  const char* end_id;
  const char* end_text;
};

TEST_F(DatabaseTest, LastingFailureIsLoggedWhenItBeginsAndEndsAndRemindedEveryTenMinutes) {
  const LastingFailureCase cases[] = {
      {"never connected", -12541, false, "rcd0115", 'e',
       "Cannot connect to SQLite: logon refused by the server", "rcd0126", "Connected to SQLite"},
      {"lost", -12541, true, "rcd0120", 'e', "Connection to SQLite lost: logon refused by the server",
       "rcd0125", "Connection to SQLite restored"},
      {"refused", sqlrt::kInvalidLogon, false, "rcd0110", 's',
       "Invalid SQLite logon id (mon) or password given", "rcd0126", "Connected to SQLite"},
  };
  for (const LastingFailureCase& f : cases) {
    SCOPED_TRACE(f.what);
    reset_database_state();
    testing::LogCapture log;
    if (f.connected_before) {
      driver_.code = 0;
      logon();
      rollback();
    }
    driver_.code = f.code;
    curs& c = cursor(std::string("C") + f.start_id, "SELECT 1");
    for (int pass = 0; pass < 5; ++pass) EXPECT_EQ(run(c), f.code);
    EXPECT_EQ(log.count("rcd0100"), 1);
    EXPECT_EQ(log.count(f.start_id), 1) << log.text();
    EXPECT_TRUE(log.has(f.start_id, f.start_severity, f.start_text)) << log.text();
    EXPECT_TRUE(database_unreachable());

    clock_.sleep_seconds(599);
    run(c);
    EXPECT_EQ(log.count("rcd0130"), 0);
    clock_.sleep_seconds(1);
    run(c);
    run(c);
    EXPECT_EQ(log.count("rcd0130"), 1);
    EXPECT_TRUE(log.has("rcd0130", 'e', "SQLite still unavailable after 10 minutes: logon refused by the server"))
        << log.text();
    clock_.sleep_seconds(900);
    run(c);
    EXPECT_TRUE(log.has("rcd0130", 'e', "SQLite still unavailable after 25 minutes: logon refused by the server"))
        << log.text();

    driver_.code = 0;
    lift_logon_stop();
    EXPECT_EQ(ensure_session(c, &collector_), 0);
    EXPECT_FALSE(database_unreachable());
    EXPECT_TRUE(log.has(f.end_id, 'i', f.end_text)) << log.text();
    EXPECT_EQ(log.count("rcd0100"), 1);
    EXPECT_EQ(log.count(f.start_id), 1);
    EXPECT_EQ(log.count("rcd0130"), 2);
    rollback();
  }
}

TEST_F(DatabaseTest, RefusalAfterTheLogonStopIsLiftedIsLoggedAgain) {
  driver_.code = sqlrt::kInvalidLogon;
  curs& c = cursor("FIRST", "SELECT 1");
  run(c);
  run(c);
  lift_logon_stop();
  run(c);
  run(c);
  EXPECT_EQ(driver_.calls.connects, 2);
  EXPECT_EQ(log_.count("rcd0110"), 2);
}

TEST_F(DatabaseTest, OtherLogonFailuresAreTriedAgainOnTheNextRun) {
  driver_.code = -12541;
  curs& c = cursor("RETRY", "SELECT 1");
  EXPECT_EQ(run(c), -12541);
  EXPECT_EQ(db_info.state, kSessionReleased);
  driver_.code = 0;
  EXPECT_EQ(ensure_session(c, defs_.collector_at), 0);
  EXPECT_EQ(driver_.calls.connects, 2);
  EXPECT_EQ(db_info.state, kSessionConnected);
  EXPECT_EQ(db_info.open, 1);
  EXPECT_EQ(log_.count("rcd0110"), 0);
}

TEST_F(DatabaseTest, ExpiringPasswordLogsOnWithAWarning) {
  driver_.code = sqlrt::kPasswordExpiring;
  EXPECT_EQ(connect_to_DB(collector_), sqlrt::kPasswordExpiring);
  EXPECT_TRUE(log_.has("rcd0105", 'e', "Connect sql code = 28002"));
  EXPECT_EQ(log_.count("rcd0100"), 0);
  EXPECT_EQ(db_info.state, kSessionConnected);
  EXPECT_EQ(db_info.type, "ORA");
  EXPECT_EQ(db_info.identity.size(), 64u);
  EXPECT_NE(db_session(), nullptr);
}

struct CheckCase {
  int code;
  int result;
  bool logged;
};

TEST_F(DatabaseTest, StatementCheckSortsCodes) {
  const CheckCase cases[] = {
      {0, 0, false},       {100, 100, false}, {1403, 100, false}, {28002, 0, false},
      {-1012, -1012, true}, {-942, -942, true},
  };
  for (const CheckCase& check : cases) {
    SCOPED_TRACE(check.code);
    statuses.clear();
    testing::LogCapture log;
    sqlca = SqlArea{check.code, "table or view does not exist", "table or view does not exist"};
    EXPECT_EQ(check_sql_code("SELECT 1", "OPEN", true), check.result);
    std::string sqlcode = "SQLCODE for OPEN = " + std::to_string(check.code);
    EXPECT_EQ(log.has("oru0006", 'i', sqlcode), check.logged);
    EXPECT_EQ(log.has("oru0007", 't', "Stmt = SELECT 1"), check.logged);
    EXPECT_EQ(log.has("oru0008", 'w', "SQLite Message table or view does not exist for OPEN"), check.logged);
    std::vector<int> reported{0};
    if (check.logged) reported.push_back(check.code);
    EXPECT_EQ(statuses, reported);
  }
}

TEST_F(DatabaseTest, CommitModeZeroKeepsTheSessionAndOtherModesRelease) {
  logon();
  EXPECT_EQ(commit_collect(0), 0);
  EXPECT_EQ(driver_.calls.commits, 1);
  EXPECT_FALSE(driver_.calls.last_release);
  EXPECT_EQ(db_info.state, kSessionConnected);
  EXPECT_EQ(db_info.open, 1);

  EXPECT_EQ(commit_collect(1), 0);
  EXPECT_TRUE(driver_.calls.last_release);
  EXPECT_EQ(db_info.state, kSessionReleased);
  EXPECT_EQ(db_info.open, 0);
  EXPECT_EQ(db_session(), nullptr);

  // Released: nothing to commit.
  EXPECT_EQ(commit_collect(0), 0);
  EXPECT_EQ(driver_.calls.commits, 2);
}

TEST_F(DatabaseTest, CommitOnALostOrCancelledSessionCountsAsReleased) {
  for (int code : {sqlrt::kNotLoggedOn, sqlrt::kCancelled}) {
    SCOPED_TRACE(code);
    driver_.commit_code = code;
    logon();
    EXPECT_EQ(commit_collect(0), 0);
    EXPECT_EQ(db_info.state, kSessionReleased);
    EXPECT_EQ(db_info.open, 0);
    EXPECT_EQ(sqlca.code, 0);
  }
  EXPECT_EQ(log_.count("rcc0360"), 0);
}

TEST_F(DatabaseTest, FailedCommitIsLoggedAndRolledBack) {
  driver_.commit_code = -1555;
  logon();
  EXPECT_EQ(commit_collect(0), -1555);
  EXPECT_TRUE(log_.has("rcc0360", 'w', "Sql code on commit = -1555"));
  EXPECT_EQ(driver_.calls.rollbacks, 1);
  EXPECT_FALSE(driver_.calls.last_release);
  EXPECT_EQ(db_info.state, kSessionConnected);

  EXPECT_EQ(commit_collect(-1), -1555);
  EXPECT_EQ(driver_.calls.rollbacks, 2);
  EXPECT_TRUE(driver_.calls.last_release);
  EXPECT_EQ(db_info.state, kSessionReleased);
}

TEST_F(DatabaseTest, QuittingCommitsAndEndsAnOpenSession) {
  logon();
  end_session();
  EXPECT_EQ(driver_.calls.commits, 1);
  EXPECT_TRUE(driver_.calls.last_release);
  EXPECT_EQ(db_info.state, kSessionReleased);
}

TEST_F(DatabaseTest, RollbackReleasesTheSession) {
  logon();
  rollback();
  EXPECT_EQ(driver_.calls.rollbacks, 1);
  EXPECT_TRUE(driver_.calls.last_release);
  EXPECT_EQ(db_info.state, kSessionReleased);
  EXPECT_EQ(db_info.open, 0);
}

std::string env_or_empty(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// Forwards to the ODBC backend, counting logons.
class CountingOdbc : public sqlrt::Driver {
 public:
  int connect(const sqlrt::ConnectParams& params, std::unique_ptr<sqlrt::Connection>& out,
              sqlrt::Diagnostics& diag) override {
    ++connects;
    return sqlrt::odbc_driver().connect(params, out, diag);
  }
  int connects = 0;
};

class OdbcFetchTest : public testing::DatabaseFixture {
 protected:
  void SetUp() override {
    DatabaseFixture::SetUp();
    if (env_or_empty("QRX_TEST_ODBC").empty()) GTEST_SKIP() << "QRX_TEST_ODBC is not set (scripts/pg-start)";
    set_env("COLL_DB_DRIVER", "odbc");
    collector_.server_id = env_or_empty("QRX_TEST_ODBC");
    collector_.logon_id = env_or_empty("QRX_TEST_ODBC_USER");
    collector_.password = env_or_empty("QRX_TEST_ODBC_PASSWORD");
    sqlrt::set_driver_override(&odbc_);
  }

  CountingOdbc odbc_;
};

TEST_F(OdbcFetchTest, FetchLengthsValuesAndNulls) {
  curs& c = cursor("TYPES",
                   "SELECT 'abc'::varchar(200), 'x'::varchar(100), 12.5::numeric(10,2), 1.5::float8, "
                   "DATE '2026-01-05', NULL::numeric(10,2), NULL::varchar(10)");
  ASSERT_EQ(run(c), 0) << log_.text();
  ASSERT_EQ(rows.size(), 1u);
  const testing::SeenRow& row = rows[0];
  const size_t lengths[] = {384, 300, 12, 21, 9, 12, 30};
  ASSERT_EQ(row.size(), std::size(lengths));
  for (size_t i = 0; i < row.size(); ++i) EXPECT_EQ(row[i].text.size(), lengths[i]) << i;
  EXPECT_EQ(row[0].value(), "abc");
  EXPECT_EQ(row[2].text, "        12.5");
  EXPECT_EQ(row[3].text, std::string(18, ' ') + "1.5");
  EXPECT_EQ(row[4].value(), "05-JAN-26");
  EXPECT_TRUE(row[5].null);
  EXPECT_EQ(row[5].text, std::string(12, ' '));
  EXPECT_TRUE(row[6].null);
  EXPECT_FALSE(row[0].null);
}

TEST_F(OdbcFetchTest, SixtyOneColumnsFail) {
  std::string sql = "SELECT 1";
  for (int i = 2; i <= 61; ++i) sql += ", " + std::to_string(i);
  curs& c = cursor("WIDE", sql);
  EXPECT_EQ(run(c), -61);
  EXPECT_TRUE(log_.has("oru0009", 'w', "More columns than max select columns"));
  EXPECT_TRUE(rows.empty());
}

TEST_F(OdbcFetchTest, WrongPasswordIsStickyAndNeverReachesTheServerAgain) {
  collector_.password = "not-the-password";
  curs& c = cursor("FIRST", "SELECT 1");
  EXPECT_EQ(run(c), sqlrt::kInvalidLogon);
  EXPECT_EQ(run(c), sqlrt::kInvalidLogon);
  EXPECT_EQ(run(c), sqlrt::kInvalidLogon);
  EXPECT_EQ(odbc_.connects, 1);
  EXPECT_EQ(log_.count("rcd0110"), 1);
  EXPECT_TRUE(log_.has("rcd0110", 's',
                       "Invalid ODBC data source " + collector_.server_id + " logon id (" +
                           collector_.logon_id + ") or password given"))
      << log_.text();
}

TEST_F(OdbcFetchTest, UnknownDataSourceCannotBeConnectedToAndWasNeverLost) {
  collector_.server_id = "qrx_no_such_dsn";
  curs& c = cursor("FIRST", "SELECT 1");
  EXPECT_NE(run(c), 0);
  EXPECT_NE(run(c), 0);
  const std::vector<std::string> lines = log_.lines();
  const std::string start = "RCD0115E";
  const auto found = std::find_if(lines.begin(), lines.end(), [&](const std::string& line) {
    return line.starts_with(start);
  });
  ASSERT_NE(found, lines.end()) << log_.text();
  EXPECT_NE(found->find(") Cannot connect to ODBC data source qrx_no_such_dsn: "), std::string::npos) << *found;
  EXPECT_NE(found->find("(SQLSTATE IM002)"), std::string::npos) << *found;
  EXPECT_EQ(log_.count("rcd0115"), 1);
  EXPECT_EQ(log_.count("rcd0120"), 0) << log_.text();
}

TEST_F(OdbcFetchTest, KilledSessionFailsOneRunAndTheNextRunLogsOnAgain) {
  curs& pid = cursor("PID", "SELECT pg_backend_pid()");
  ASSERT_EQ(run(pid), 0) << log_.text();
  ASSERT_EQ(rows.size(), 1u);
  std::string backend = rows[0][0].text.substr(rows[0][0].text.find_first_not_of(' '));
  rows.clear();

  std::unique_ptr<sqlrt::Connection> killer;
  sqlrt::Diagnostics diag;
  sqlrt::ConnectParams params;
  params.server_id = collector_.server_id;
  params.logon_id = collector_.logon_id;
  params.password = collector_.password;
  ASSERT_EQ(sqlrt::odbc_driver().connect(params, killer, diag), 0) << diag.text;
  auto kill = killer->prepare("SELECT pg_terminate_backend(" + backend + ")");
  ASSERT_TRUE(kill);
  ASSERT_EQ(kill->open(), 0) << kill->diagnostics().text;
  kill.reset();
  killer->commit(true);

  curs& next = cursor("NEXT", "SELECT 'after'");
  EXPECT_EQ(run(next), sqlrt::kNotLoggedOn);
  EXPECT_TRUE(rows.empty());
  EXPECT_EQ(db_info.state, kSessionReleased);
  EXPECT_TRUE(log_.has("rpf0345", 'w', "Time = 20260105090000 For cursor NEXT, fetch failed after = 0 rows"));

  EXPECT_EQ(run(next), 0) << log_.text();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0][0].value(), "after");
  EXPECT_EQ(odbc_.connects, 2);
}

TEST_F(OdbcFetchTest, LongQueryIsCancelledAndTheNextCursorStillRuns) {
  set_env("COLL_QUERY_TIMEOUT", "1");
  curs& sleepy = cursor("SLEEPY", "SELECT pg_sleep(30)");
  EXPECT_EQ(run(sleepy), sqlrt::kCancelled);
  EXPECT_EQ(sleepy.result_code, sqlrt::kCancelled);
  EXPECT_TRUE(log_.has("rpf0345", 'w', "Time = 20260105090000 For cursor SLEEPY, fetch failed after = 0 rows"));

  curs& next = cursor("NEXT", "SELECT 42");
  EXPECT_EQ(run(next), 0) << log_.text();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0][0].text, std::string(10, ' ') + "42");
}

TEST_F(OdbcFetchTest, CommitModes) {
  curs& c = cursor("ONE", "SELECT 1");
  ASSERT_EQ(run(c), 0);
  EXPECT_EQ(commit_collect(0), 0);
  EXPECT_EQ(db_info.state, kSessionConnected);
  ASSERT_EQ(run(c), 0);
  EXPECT_EQ(commit_collect(1), 0);
  EXPECT_EQ(db_info.state, kSessionReleased);
  EXPECT_EQ(db_info.open, 0);
  ASSERT_EQ(run(c), 0);
  EXPECT_EQ(odbc_.connects, 2);
}

}  // namespace
}  // namespace qrx
