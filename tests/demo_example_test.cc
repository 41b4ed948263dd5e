// The demo example in a steady state: the real collector on examples/demo's
// control files over a SQLite database that the test rewrites between
// collections (server totals, sessions, tablespaces), and the real probe
// reading every derived figure of each collection: the maths, the column
// functions, the user and session cursors built on other cursors' rows (a
// substituted value, an in-list, a base and a column exit), the version
// chosen from another cursor's row, and the evaluator's lines.

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/collections.h"
#include "support/collector_process.h"
#include "support/database_fixture.h"
#include "support/log_capture.h"
#include "support/startup_fixture.h"

namespace qrx {
namespace {

namespace fs = std::filesystem;

struct Session {
  int sid;
  std::string username, program, status;
  double cpu_s;
};
struct Tablespace {
  std::string name;
  int size_mb, used_mb;
};
// What the demo server holds at one collection.
struct ServerState {
  int uptime_s, commits, rollbacks;
  std::vector<Session> sessions;  // in sid order
  std::vector<Tablespace> tablespaces;
};

// A number as the probe shows a float column, and as the collector writes a
// column function's value into a text column.
std::string shown(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g", v);
  return buf;
}
// `math decimal 1`: rounded half away from zero to one decimal.
std::string one_decimal(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f", std::floor(v * 10 + 0.5) / 10);
  return buf;
}

// Total CPU seconds of each user.
std::map<std::string, double> user_cpu(const ServerState& s) {
  std::map<std::string, double> users;
  for (const Session& x : s.sessions) users[x.username] += x.cpu_s;
  return users;
}

std::vector<std::string> dbstats_rows(const ServerState& s) {
  return {"DEMO,1.0," + std::to_string(s.uptime_s) + "," + std::to_string(s.commits) + "," +
          std::to_string(s.rollbacks) + "," +
          one_decimal(s.commits * 100.0 / (s.commits + s.rollbacks))};
}

std::vector<std::string> session_rows(const ServerState& s) {
  std::vector<std::string> rows;
  for (const Session& x : s.sessions)
    rows.push_back(std::to_string(x.sid) + "," + x.username + "," + x.program + "," + x.status + "," +
                   shown(x.cpu_s));
  return rows;
}

// CPUSUM: the user of the busiest session, the largest and the average CPU
// seconds, the number of sessions. The average is cut (not rounded) to the
// most decimal places of the values averaged.
std::vector<std::string> cpusum_rows(const ServerState& s) {
  const Session* top = &s.sessions.front();
  double sum = 0;
  std::size_t places = 0;
  for (const Session& x : s.sessions) {
    if (x.cpu_s > top->cpu_s) top = &x;
    sum += x.cpu_s;
    const std::string text = shown(x.cpu_s);
    if (const std::size_t point = text.find('.'); point != std::string::npos)
      places = std::max(places, text.size() - point - 1);
  }
  char average[64];
  std::snprintf(average, sizeof average, "%f", sum / s.sessions.size());
  std::string cut = average;
  cut.erase(cut.find('.') + (places ? places + 1 : 0));
  return {top->username + "," + shown(top->cpu_s) + "," + cut + "," +
          std::to_string(s.sessions.size())};
}

// The user with the most CPU seconds (the first by name on a tie).
std::pair<std::string, double> top_user(const ServerState& s) {
  std::pair<std::string, double> top{"", -1};
  for (const auto& [user, cpu] : user_cpu(s))
    if (cpu > top.second) top = {user, cpu};
  return top;
}

// TOPSESS: the top user's sessions, most CPU seconds first.
std::vector<std::string> topsess_rows(const ServerState& s) {
  std::vector<Session> mine;
  for (const Session& x : s.sessions)
    if (x.username == top_user(s).first) mine.push_back(x);
  std::stable_sort(mine.begin(), mine.end(),
                   [](const Session& a, const Session& b) { return a.cpu_s > b.cpu_s; });
  std::vector<std::string> rows;
  for (const Session& x : mine)
    rows.push_back(std::to_string(x.sid) + "," + x.program + "," + x.status + "," + shown(x.cpu_s));
  return rows;
}

// BUSYUSR: users past 15 CPU seconds, by name.
std::vector<std::string> busyusr_rows(const ServerState& s) {
  std::vector<std::string> rows;
  for (const auto& [user, cpu] : user_cpu(s))
    if (cpu > 15) rows.push_back(user + "," + shown(cpu));
  return rows;
}

// BUSYSESS: those users' sessions by sid, the program cut to 6 characters,
// each with its user's total.
std::vector<std::string> busysess_rows(const ServerState& s) {
  const std::map<std::string, double> users = user_cpu(s);
  std::vector<std::string> rows;
  for (const Session& x : s.sessions)
    if (users.at(x.username) > 15)
      rows.push_back(std::to_string(x.sid) + "," + x.username + "," + x.program.substr(0, 6) + "," +
                     shown(users.at(x.username)));
  return rows;
}

// WATCH: while the server is up less than 5 seconds every session, else
// the active ones with their CPU seconds.
std::vector<std::string> watch_rows(const ServerState& s) {
  std::vector<std::string> rows;
  for (const Session& x : s.sessions) {
    const std::string head = std::to_string(x.sid) + "," + x.username + "," + x.status;
    if (s.uptime_s < 5)
      rows.push_back(head);
    else if (x.status == "ACTIVE")
      rows.push_back(head + "," + shown(x.cpu_s));
  }
  return rows;
}

std::vector<std::string> tablespace_rows(const ServerState& s) {
  std::vector<std::string> rows;
  for (const Tablespace& t : s.tablespaces)
    rows.push_back(t.name + "," + std::to_string(t.size_mb) + "," + std::to_string(t.used_mb) + "," +
                   one_decimal(t.used_mb * 100.0 / t.size_mb));
  return rows;
}

// The SQL that makes the database hold `s`.
std::string state_sql(const ServerState& s) {
  std::ostringstream sql;
  sql << "BEGIN;DELETE FROM db_stats;DELETE FROM sessions;DELETE FROM tablespaces;"
      << "INSERT INTO db_stats VALUES ('DEMO', '1.0', " << s.uptime_s << ", " << s.commits << ", "
      << s.rollbacks << ");";
  for (const Session& x : s.sessions)
    sql << "INSERT INTO sessions VALUES (" << x.sid << ", '" << x.username << "', '" << x.program
        << "', '" << x.status << "', " << x.cpu_s << ");";
  for (const Tablespace& t : s.tablespaces)
    sql << "INSERT INTO tablespaces VALUES ('" << t.name << "', " << t.size_mb << ", " << t.used_mb
        << ");";
  sql << "COMMIT;";
  return sql.str();
}

class DemoExampleTest : public testing::SqliteCollectorTest {
 protected:
  void SetUp() override {
    SqliteCollectorTest::SetUp();
    server_ = testing::own_server_id('D');
    for (const auto& entry : fs::directory_iterator(QRX_SOURCE_DIR "/examples/demo"))
      if (entry.path().extension() == ".ctl") fs::copy_file(entry.path(), dir() / entry.path().filename());
    testing::run_sql(database(), testing::file_text(QRX_SOURCE_DIR "/examples/demo/demo.sql"));
  }
  std::string database() const { return (dir() / (server_ + ".db")).string(); }
  std::string settings() const override {
    return SqliteCollectorTest::settings() + "COLL_BINPATH=" QRX_SOURCE_DIR "/examples/demo/exits ";
  }
  std::vector<std::string> rows(const std::string& cursor) {
    std::vector<std::string> lines = testing::probe_csv(dir().string(), settings(), server_, "get " + cursor);
    if (!lines.empty()) lines.erase(lines.begin());
    return lines;
  }
  std::string status() {
    std::string text;
    for (const std::string& line : testing::probe_csv(dir().string(), settings(), server_, "status"))
      text += line + "\n";
    return text;
  }
  std::string log() const { return testing::collector_log(dir()); }
};

// The sid of each row the evaluator wrote for HOTSESS with `what` ("true",
// "turned false").
std::vector<std::string> evaluator_sids(const std::string& log, const std::string& what) {
  return testing::evaluator_values(log, "Evaluation HOTSESS (1) " + what + " for cursor SESSIONS", "sid");
}

TEST_F(DemoExampleTest, EveryCollectionDerivesItsFiguresFromTheDataItRead) {
  // Warming up, the evaluation not matching; then past 5 seconds with
  // session 23 past 45 CPU seconds, new users and sessions; then restarted
  // (warming up again), session 23 back under 45 seconds.
  const ServerState states[] = {
      {3, 975, 25,
       {{1, "SYS", "dbwriter", "ACTIVE", 12.5}, {2, "SYS", "logwriter", "ACTIVE", 8.25},
        {17, "APP", "orders-api", "INACTIVE", 3.0}, {23, "APP", "orders-api", "ACTIVE", 41.75},
        {31, "REPORT", "nightly", "INACTIVE", 0.5}},
       {{"SYSTEM", 800, 612}, {"USERS", 4096, 1320}, {"TEMP", 1024, 64}}},
      {60, 1980, 20,
       {{1, "SYS", "dbwriter", "ACTIVE", 14.5}, {2, "SYS", "logwriter", "INACTIVE", 2.25},
        {17, "APP", "orders-api", "ACTIVE", 6.0}, {23, "APP", "orders-api", "ACTIVE", 50.5},
        {31, "REPORT", "nightly", "ACTIVE", 18.0}, {40, "BATCH", "loader-job", "ACTIVE", 4.75}},
       {{"SYSTEM", 800, 700}, {"USERS", 4096, 2048}, {"TEMP", 1024, 512}}},
      {2, 300, 100,
       {{5, "SYS", "dbwriter", "ACTIVE", 0.5}, {23, "APP", "orders-api", "INACTIVE", 30.0},
        {31, "REPORT", "nightly", "ACTIVE", 16.0}, {44, "APP", "billing", "ACTIVE", 1.0}},
       {{"SYSTEM", 1000, 250}, {"USERS", 4096, 4096}, {"TEMP", 1024, 0}}},
  };
  // The cursors collected every 5 seconds, in the order they run.
  testing::CollectionWaiter waiter([&] { return status(); },
                                   {"DBSTATS", "SESSIONS", "CPUSUM", "TOPUSER", "TOPSESS", "BUSYUSR",
                                    "BUSYSESS", "WATCH", "LOADAVG"});
  std::set<std::string> tablespaces_so_far;
  for (std::size_t i = 0; i < std::size(states); ++i) {
    const ServerState& s = states[i];
    SCOPED_TRACE("state " + std::to_string(i + 1));
    testing::run_sql(database(), state_sql(s));
    for (const std::string& row : tablespace_rows(s)) tablespaces_so_far.insert(row);
    waiter.mark();
    if (i == 0) {
      ASSERT_TRUE(collector_.start(dir(), "-rdbms " + server_ + " -logonid demo -dbtype qrx", settings()));
    }
    // WATCH's version is chosen before a collection from DBSTATS's row of
    // the collection before: the second collection after a change shows it.
    ASSERT_TRUE(waiter.next()) << waiter.last_status() << log();
    waiter.mark();
    ASSERT_TRUE(waiter.next()) << waiter.last_status() << log();
    EXPECT_EQ(rows("DBSTATS"), dbstats_rows(s));
    EXPECT_EQ(rows("SESSIONS"), session_rows(s));
    EXPECT_EQ(rows("CPUSUM"), cpusum_rows(s));
    EXPECT_EQ(rows("TOPUSER"), std::vector<std::string>{top_user(s).first + "," + shown(top_user(s).second)});
    // TOPSESS keeps the rows of earlier runs up to its limit: the newest are this run's.
    const std::vector<std::string> topsess = rows("TOPSESS"), want_top = topsess_rows(s);
    ASSERT_GE(topsess.size(), want_top.size());
    EXPECT_EQ(std::vector<std::string>(topsess.end() - static_cast<std::ptrdiff_t>(want_top.size()), topsess.end()),
              want_top);
    EXPECT_EQ(rows("BUSYUSR"), busyusr_rows(s));
    EXPECT_EQ(rows("BUSYSESS"), busysess_rows(s));
    EXPECT_EQ(rows("WATCH"), watch_rows(s));
    EXPECT_EQ(rows("LOADAVG").size(), 3u);
    // TBLSPACE runs every third collection and keeps earlier runs: each row
    // is one a state so far gives.
    for (const std::string& row : rows("TBLSPACE")) EXPECT_TRUE(tablespaces_so_far.contains(row)) << row;
  }
  // The evaluator: nothing while no session passed 45 seconds, session 23
  // once it did, and the same row when the evaluation turned false.
  EXPECT_TRUE(testing::wait_until([&] { return !evaluator_sids(log(), "turned false").empty(); })) << log();
  const std::string text = log();
  const std::vector<std::string> trues = evaluator_sids(text, "true");
  ASSERT_FALSE(trues.empty()) << text;
  for (const std::string& sid : trues) EXPECT_EQ(sid, "23");
  EXPECT_EQ(evaluator_sids(text, "turned false"), std::vector<std::string>{"23"}) << text;
}

}  // namespace
}  // namespace qrx
