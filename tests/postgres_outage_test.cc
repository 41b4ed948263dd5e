// A database outage under a running collector: a private PostgreSQL server
// of the test's own (scripts/pg-start) is stopped and started again while the
// collector collects every second. The loss is logged once, the return once,
// and nothing is logged per cursor and pass in between; a wrong password
// likewise is logged once, not per cursor and pass. Skipped when
// QRX_TEST_ODBC is not set (no PostgreSQL and ODBC on this machine).

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include "support/collector_process.h"
#include "support/log_capture.h"
#include "support/startup_fixture.h"

namespace qrx {
namespace {

// Runs `command`; its standard output, or nothing when it failed.
std::optional<std::string> output_of(const std::string& command) {
  std::FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return std::nullopt;
  std::string out;
  char buffer[1024];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  const int status = pclose(pipe);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  return out;
}

class PostgresOutageTest : public testing::StartupTest {
 protected:
  void SetUp() override {
    StartupTest::SetUp();
    if (!std::getenv("QRX_TEST_ODBC")) GTEST_SKIP() << "QRX_TEST_ODBC is not set";
    const std::optional<std::string> env = output_of("'" QRX_SOURCE_DIR "/scripts/pg-start'");
    ASSERT_TRUE(env) << "scripts/pg-start failed";
    // The lines are "export NAME='value'".
    std::istringstream lines(*env);
    for (std::string line; std::getline(lines, line);) {
      const size_t eq = line.find('=');
      if (!line.starts_with("export ") || eq == std::string::npos) continue;
      std::string value = line.substr(eq + 1);
      if (value.size() >= 2 && value.front() == '\'') value = value.substr(1, value.size() - 2);
      const std::string name = line.substr(7, eq - 7);
      if (name == "QRX_PG_DIR") pg_dir_ = value;
      if (name == "ODBCSYSINI" || name == "ODBCINI") environment_ += name + "='" + value + "' ";
      if (name == "QRX_TEST_ODBC_USER") environment_ += "COLL_LOGON='" + value + "' ";
      if (name == "QRX_TEST_ODBC_PASSWORD") environment_ += "COLL_PASSWORD='" + value + "' ";
    }
    ASSERT_FALSE(pg_dir_.empty());
    environment_ += "COLL_DB_DRIVER=odbc COLL_SERVERID=qrxtest COLL_CONNECT_TIMEOUT=2 ";
  }
  void TearDown() override {
    if (!pg_dir_.empty()) std::system(("'" QRX_SOURCE_DIR "/scripts/pg-stop' '" + pg_dir_ + "'").c_str());
    StartupTest::TearDown();
  }

  bool server(const char* verb) {
    const std::string script = std::string(QRX_SOURCE_DIR "/scripts/pg-") + verb;
    const std::string keep = std::string(verb) == "stop" ? " --keep" : "";
    return std::system(("'" + script + "'" + keep + " '" + pg_dir_ + "' >/dev/null").c_str()) == 0;
  }
  std::string log() const { return testing::collector_log(dir()); }
  bool logged(const std::string& what, int times = 1) const {
    return testing::wait_until([&] { return testing::occurrences(log(), what) >= times; });
  }

  // Two cursors every second; PING traces each pass ("Interval collection at").
  void write_control_files() {
    write_file("qrxproc.ctl", "process collector;\ntype local;\nlogon_id qrx;\ninterval 1;\nend;\n");
    write_file("qrxdict.ctl", "name SERVER;\ntype char(8);\ninitial 'PG';\nend;\n");
    write_file("qrxcoll.ctl",
               "cursor PING;\ninterval 1;\nlimit 1;\ntrace;\n"
               "insert_select SELECT CAST(1 AS integer) AS one;\n"
               "INSERT INTO ping (one) VALUES (:one);\n"
               "cursor PONG;\ninterval 1;\nlimit 1;\n"
               "insert_select SELECT CAST(2 AS integer) AS two;\n"
               "INSERT INTO pong (two) VALUES (:two);\nend;\n");
  }

  std::string pg_dir_;
  std::string environment_;
};

TEST_F(PostgresOutageTest, LossAndReturnAreLoggedOnceEachAndNothingPerCursorInBetween) {
  write_control_files();
  testing::CollectorProcess collector;
  ASSERT_TRUE(collector.start(dir(), "-dbtype qrx", environment_));
  ASSERT_TRUE(logged("collected records in")) << log();

  ASSERT_TRUE(server("stop"));
  ASSERT_TRUE(logged("RCD0120E")) << log();
  // Several passes fail while the server is away.
  const int passes = testing::occurrences(log(), "Interval collection at");
  ASSERT_TRUE(logged("Interval collection at", passes + 3)) << log();
  ASSERT_TRUE(server("start"));
  ASSERT_TRUE(logged("RCD0125I")) << log();
  const int collected = testing::occurrences(log(), "collected records in");
  ASSERT_TRUE(logged("collected records in", collected + 1)) << log();
  const int status = collector.stop(SIGTERM);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

  const std::string text = log();
  EXPECT_EQ(testing::occurrences(text, "RCD0120E"), 1) << text;
  EXPECT_EQ(testing::occurrences(text, "Connection to ODBC data source qrxtest lost: "), 1) << text;
  EXPECT_EQ(testing::occurrences(text, "RCD0125I"), 1) << text;
  EXPECT_EQ(testing::occurrences(text, "Connection to ODBC data source qrxtest restored\n"), 1) << text;
  EXPECT_LE(testing::occurrences(text, "RCD0100E"), 1) << text;
  EXPECT_EQ(testing::occurrences(text, "CGN1521E"), 0) << text;
  EXPECT_EQ(testing::occurrences(text, "CGN1525E"), 0) << text;
}

TEST_F(PostgresOutageTest, WrongPasswordIsLoggedOnceNotPerCursorAndPass) {
  write_control_files();
  testing::CollectorProcess collector;
  // The last assignment of a variable on the command line wins.
  ASSERT_TRUE(collector.start(dir(), "-dbtype qrx", environment_ + "COLL_PASSWORD=not-the-password "));
  ASSERT_TRUE(logged("RCD0110S")) << log();
  const int passes = testing::occurrences(log(), "Interval collection at");
  ASSERT_TRUE(logged("Interval collection at", passes + 4)) << log();
  const int status = collector.stop(SIGTERM);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

  const std::string text = log();
  EXPECT_EQ(testing::occurrences(text, "RCD0110S"), 1) << text;
  EXPECT_EQ(testing::occurrences(text, "RCD0100E"), 1) << text;
  EXPECT_EQ(testing::occurrences(text, "RCD0105E"), 2) << text;
  EXPECT_EQ(testing::occurrences(text, "CGN1521E"), 0) << text;
  EXPECT_EQ(testing::occurrences(text, "CGN1534E"), 0) << text;
  EXPECT_EQ(testing::occurrences(text, "CGN1525E"), 0) << text;
}

// What qrxprobe printed on standard error and how it ended.
struct ProbeOutcome {
  int status = -1;
  std::string err;
};

TEST_F(PostgresOutageTest, RowsServedDuringTheOutageAreMarkedStale) {
  write_file("qrxproc.ctl", "process collector;\ntype local;\nlogon_id qrx;\ninterval 1;\n"
                            "process rqs;\ntype local;\ninterval 1;\nend;\n");
  write_file("qrxdict.ctl", "name SERVER;\ntype char(8);\ninitial 'PG';\nend;\n");
  // Every run adds its row; none is dropped while the runs fail.
  write_file("qrxcoll.ctl", "cursor PING;\ninterval 1;\ntrace;\n"
                            "insert_select SELECT CAST(1 AS integer) AS one;\n"
                            "INSERT INTO ping (one) VALUES (:one);\nend;\n");
  testing::CollectorProcess collector;
  ASSERT_TRUE(collector.start(dir(), "-dbtype qrx", environment_));
  ASSERT_TRUE(logged("Start collecting.")) << log();
  const std::string d = dir().string();
  const auto probe = [&] {
    const std::string err_path = d + "/../probe-" + std::to_string(getpid()) + ".err";
    const std::string command = "cd '" + d + "' && env -i PATH=/usr/bin:/bin HOME='" + d +
                                "' USER=tester COLL_HOME='" + d + "' COLL_CTL_HOME='" + d + "' COLL_OUT='" + d +
                                "' COLL_PREFIX='" + d + "' COLL_PREFIX_LOCAL='" + d + "' " +
                                environment_ + " '" QRX_BINARY_DIR "/qrxprobe' -dbtype qrx get PING" +
                                " >/dev/null 2>'" + err_path + "'";
    const int status = std::system(command.c_str());
    ProbeOutcome outcome{WIFEXITED(status) ? WEXITSTATUS(status) : -1, testing::file_text(err_path)};
    std::remove(err_path.c_str());
    return outcome;
  };
  ASSERT_TRUE(testing::wait_until([&] { return probe().status == 0; })) << log();

  ASSERT_TRUE(server("stop"));
  ASSERT_TRUE(logged("RCD0120E")) << log();
  const int passes = testing::occurrences(log(), "Interval collection at");
  ASSERT_TRUE(logged("Interval collection at", passes + 2)) << log();
  const ProbeOutcome stale = probe();
  EXPECT_EQ(stale.status, 7) << stale.err << log();
  EXPECT_NE(stale.err.find("COM0307W ("), std::string::npos) << stale.err;
  EXPECT_NE(stale.err.find(") The rows of PING are stale: its last run failed ("), std::string::npos)
      << stale.err;
  EXPECT_NE(stale.err.find("they are from its last successful run, ended "), std::string::npos)
      << stale.err;

  ASSERT_TRUE(server("start"));
  ASSERT_TRUE(logged("RCD0125I")) << log();
  EXPECT_TRUE(testing::wait_until([&] { return probe().status == 0; })) << log();
}

}  // namespace
}  // namespace qrx
