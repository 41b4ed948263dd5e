// The collector binary reloading its definitions on SIGHUP within the same
// process: sound control files are taken while the channel answers
// throughout and unchanged cursors keep their rows; faulty ones are logged
// fault by fault with their locations while collection goes on; the
// environment file's settings are taken with the definitions, except those
// that fix the process's identity; no password shows on the command line.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/collector_process.h"
#include "support/database_fixture.h"
#include "support/log_capture.h"
#include "support/startup_fixture.h"

namespace qrx {
namespace {

namespace fs = std::filesystem;

constexpr char kStats[] =
    "cursor STATS;\ninterval 1;\nhistory;\nsamples 1;\n"
    "INSERT INTO stats (name, val) VALUES (:name, :val);\n";
// A cursor that runs once: the rows it holds are those of the table when it
// ran, which a run after a change of the table could not give.
constexpr char kOnce[] =
    "cursor ONCE;\nonce;\nINSERT INTO stats (name, val) VALUES (:name, :val);\n";
constexpr char kMore[] =
    "cursor MORE;\ninterval 1;\nhistory;\nsamples 1;\n"
    "INSERT INTO stats (name, val) VALUES (:name, :val);\n";
const std::string kCursor = std::string(kStats) + "end;\n";
const std::string kTwoCursors = std::string(kStats) + kMore + "end;\n";

// The words of /proc/PID/cmdline, blank-separated.
std::string command_line_of(pid_t pid) {
  std::string text = testing::file_text("/proc/" + std::to_string(pid) + "/cmdline");
  std::replace(text.begin(), text.end(), '\0', ' ');
  return text;
}

// The command lines of `pid` and of its children, blank-separated.
std::string command_lines_from(pid_t pid) {
  std::string text = command_line_of(pid);
  std::istringstream children(
      testing::file_text("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children"));
  for (pid_t child; children >> child;) text += "\n" + command_line_of(child);
  return text;
}

class ReloadRunTest : public testing::StartupTest {
 protected:
  void SetUp() override {
    StartupTest::SetUp();
    testing::run_sql((dir() / "DEMO.db").string(),
                     "CREATE TABLE stats (name VARCHAR2(4), val NUMBER(4));"
                     "INSERT INTO stats VALUES ('aa', 1), ('bbbb', 2222);");
    write_file("qrxproc.ctl",
               "process collector;\ntype local;\nlogon_id demo;\ninterval 1;\n"
               "process historian;\ntype local;\ninterval 1;\n"
               "process rqs;\ntype local;\ninterval 1;\nend;\n");
    write_file("qrxdict.ctl", "name SERVER;\ntype char(8);\ninitial 'DEMO';\nend;\n");
    write_file("qrxcoll.ctl", kCursor);
  }

  // Every message log of the run, oldest backup first.
  std::string logs() const {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(dir()))
      if (entry.path().filename().string().find("_col.ou") != std::string::npos)
        files.push_back(entry.path());
    std::sort(files.begin(), files.end(), [](const fs::path& a, const fs::path& b) {
      const auto rank = [](const fs::path& p) {
        const std::string n = p.filename().string();
        return n.ends_with("col.out") ? 0 : std::stoi(n.substr(n.rfind("col.ou") + 6));
      };
      return rank(a) > rank(b);
    });
    std::string text;
    for (const fs::path& f : files) text += testing::file_text(f.string());
    return text;
  }
  std::size_t size_of(const std::string& name) const {
    std::error_code ec;
    const auto n = fs::file_size(dir() / name, ec);
    return ec ? 0 : static_cast<std::size_t>(n);
  }
  bool alive() const {
    int status = 0;
    return waitpid(collector_.pid(), &status, WNOHANG) == 0;
  }
  bool start(const std::string& environment = "") {
    return collector_.start(dir(), "-rdbms DEMO -dbtype qrx",
                            "COLL_NUMOUTBAK=9 COLL_SHUTDOWN_WAIT=0 " + environment);
  }
  int stop() { return collector_.stop(SIGTERM); }
  // What qrxprobe gets of `cursor`: its CSV rows, none when the request failed.
  std::vector<std::string> probe(const std::string& cursor) const {
    return testing::probe_csv_rows(dir(), "", "DEMO", cursor);
  }
  // Sends SIGHUP and waits for the reload's outcome ("cgn1561" taken, or
  // "cml1561" refused): true when the log shows `id` once more.
  bool reload_until(const std::string& id) {
    const int before = testing::occurrences(logs(), id);
    kill(collector_.pid(), SIGHUP);
    return testing::wait_until([&] { return testing::occurrences(logs(), id) > before; });
  }

  testing::CollectorProcess collector_;
};

TEST_F(ReloadRunTest, SoundDefinitionsAreTakenInProcessKeepingUnchangedRowsWhileClientsAsk) {
  write_file("qrxcoll.ctl", std::string(kStats) + kOnce + "end;\n");
  ASSERT_TRUE(start());
  ASSERT_TRUE(testing::wait_until([&] { return size_of("STATS.HST") > 0; })) << logs();
  ASSERT_TRUE(testing::wait_until([&] { return !probe("ONCE").empty(); })) << logs();
  const std::vector<std::string> once = probe("ONCE");
  ASSERT_EQ(once.size(), 2u) << logs();
  ASSERT_TRUE(once[0].ends_with(" 1")) << once[0];
  // A new run of ONCE would show the changed table.
  testing::run_sql((dir() / "DEMO.db").string(), "UPDATE stats SET val = 7;");

  // A client asks throughout the reload; every answer must come.
  std::atomic<bool> asking{true};
  std::atomic<int> answers{0}, failures{0};
  std::thread client([&] {
    while (asking) (probe("ONCE").empty() ? failures : answers)++;
  });
  const pid_t pid = collector_.pid();
  write_file("qrxcoll.ctl", std::string(kStats) + kOnce + kMore + "end;\n");
  const bool reloaded = reload_until("CGN1561I");
  const bool more = reloaded && testing::wait_until([&] { return size_of("MORE.HST") > 0; });
  const int seen = answers;
  testing::wait_until([&] { return answers > seen + 2; });
  asking = false;
  client.join();
  ASSERT_TRUE(reloaded) << logs();
  EXPECT_TRUE(more) << logs();
  EXPECT_EQ(failures, 0) << "answers: " << answers << "\n" << logs();
  EXPECT_GT(answers, seen);

  EXPECT_TRUE(alive());
  EXPECT_EQ(collector_.pid(), pid);
  EXPECT_EQ(probe("ONCE"), once) << "the unchanged cursor kept its rows: " << logs();
  EXPECT_FALSE(probe("MORE").empty()) << logs();
  const std::string text = logs();
  EXPECT_NE(text.find("Definitions reloaded: 3 cursors, 2 kept their rows\n"), std::string::npos)
      << text;
  EXPECT_EQ(testing::occurrences(text, "CML1530I"), 1) << "started once: " << text;
  // From the request on, nothing that reads as a failure.
  EXPECT_EQ(testing::error_lines(text.substr(text.find("CGN1560I"))), std::vector<std::string>{}) << text;
  const int status = stop();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << logs();
}

TEST_F(ReloadRunTest, FaultyDefinitionsAreLoggedWithTheirLocationsAndCollectionGoesOn) {
  ASSERT_TRUE(start());
  ASSERT_TRUE(testing::wait_until([&] { return size_of("STATS.HST") > 0; })) << logs();
  write_file("qrxcoll.ctl",
             "cursor STATS;\ninterval 1;\nhistory;\nsamples 1;\n"
             "INSERT INTO stats (name, val) VALUES (:name, :val);\nbogus 3;\nend;\n");
  ASSERT_TRUE(reload_until("CML1561E")) << logs();
  std::string text = logs();
  EXPECT_NE(text.find(") Unknown keyword (bogus)\n  at qrxcoll.ctl:6, cursor STATS\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("PCC0755E"), std::string::npos) << text;
  EXPECT_NE(text.find("Reload refused (the definitions have faults, exit status 22, the first at "
                      "qrxcoll.ctl:6, cursor STATS): going on with the definitions in use\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(testing::occurrences(text, "PCC0301I"), 1) << "the reload's notices stay out";
  EXPECT_EQ(text.find("CGN1522"), std::string::npos) << text;
  // Collection goes on with the definitions in use, and they answer.
  const std::size_t before = size_of("STATS.HST");
  ASSERT_TRUE(testing::wait_until([&] { return size_of("STATS.HST") > before; })) << logs();
  EXPECT_EQ(probe("STATS").size(), 2u) << logs();
  EXPECT_TRUE(alive());

  // Once the files are mended, the next reload takes them.
  write_file("qrxcoll.ctl", kTwoCursors);
  ASSERT_TRUE(reload_until("CGN1561I")) << logs();
  ASSERT_TRUE(testing::wait_until([&] { return size_of("MORE.HST") > 0; })) << logs();
  EXPECT_TRUE(alive());
  const int status = stop();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << logs();
}

TEST_F(ReloadRunTest, TheEnvironmentFileIsReadAgainAndAFaultyOneIsRefused) {
  const fs::path env = write_file("DEMO.env", "COLL_SERVERID=DEMO\n");
  ASSERT_EQ(::chmod(env.c_str(), 0600), 0);
  ASSERT_TRUE(start("COLL_ENV_FILE='" + env.string() + "'"));
  ASSERT_TRUE(testing::wait_until([&] { return size_of("STATS.HST") > 0; })) << logs();

  // A line that is no assignment refuses the reload; the line is not shown.
  write_file("DEMO.env", "COLL_SERVERID=DEMO\nCOLL_HISTORY_ROTATE_SIZE 1\n");
  ASSERT_TRUE(reload_until("CML1561E")) << logs();
  std::string text = logs();
  EXPECT_NE(text.find(") " + env.string() + ":2: not a NAME=value line\n"), std::string::npos)
      << text;
  EXPECT_NE(text.find("Reload refused (the environment file " + env.string() +
                      " has faults): going on with the definitions in use\n"),
            std::string::npos)
      << text;
  EXPECT_FALSE(fs::exists(dir() / "STATS.HST.1"));

  // The mended file's setting is taken with the reload: the history rotates.
  write_file("DEMO.env", "COLL_SERVERID=DEMO\nCOLL_HISTORY_ROTATE_SIZE=1\n");
  ASSERT_TRUE(reload_until("CGN1561I")) << logs();
  ASSERT_TRUE(testing::wait_until([&] { return fs::exists(dir() / "STATS.HST.2"); })) << logs();
  EXPECT_TRUE(alive());
  const int status = stop();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << logs();
}

// The server id names the lock file, the channel and the log: a reload that
// would change it is refused, and the environment stays as it was (a later
// sound reload does not take the refused setting either).
TEST_F(ReloadRunTest, AnIdentitySettingChangedInTheEnvironmentFileIsRefused) {
  const fs::path env = write_file("DEMO.env", "COLL_SERVERID=DEMO\n");
  ASSERT_EQ(::chmod(env.c_str(), 0600), 0);
  ASSERT_TRUE(collector_.start(dir(), "-dbtype qrx",
                               "COLL_NUMOUTBAK=9 COLL_SHUTDOWN_WAIT=0 COLL_SERVERID=DEMO "
                               "COLL_ENV_FILE='" + env.string() + "'"));
  ASSERT_TRUE(testing::wait_until([&] { return size_of("STATS.HST") > 0; })) << logs();
  write_file("DEMO.env", "COLL_SERVERID=OTHER\nCOLL_HISTORY_ROTATE_SIZE=1\n");
  ASSERT_TRUE(reload_until("CML1561E")) << logs();
  EXPECT_NE(logs().find("Reload refused (the setting COLL_SERVERID changes: a restart is needed "
                        "for that setting): going on with the definitions in use\n"),
            std::string::npos)
      << logs();
  EXPECT_EQ(probe("STATS").size(), 2u) << "still answering as DEMO: " << logs();
  EXPECT_FALSE(fs::exists(dir() / "STATS.HST.1")) << "the refused file's settings are not taken";
  EXPECT_TRUE(alive());
  const int status = stop();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << logs();
}

TEST_F(ReloadRunTest, APasswordOnTheCommandLineNeverShowsBeforeOrAfterAReload) {
  ASSERT_TRUE(collector_.start(dir(), "-rdbms DEMO -dbtype qrx -password Sesame42",
                               "COLL_NUMOUTBAK=9 COLL_SHUTDOWN_WAIT=0"));
  ASSERT_TRUE(testing::wait_until([&] { return logs().find("CML1530I") != std::string::npos; }))
      << logs();
  const std::string before = command_line_of(collector_.pid());
  EXPECT_NE(before.find("qrxcoll"), std::string::npos) << before;
  EXPECT_EQ(before.find("Sesame42"), std::string::npos) << before;
  // Watched throughout the reload: neither the collector nor any child of it
  // shows the password at any moment.
  std::atomic<bool> watching{true};
  std::string shown;
  std::thread watcher([&] {
    while (watching && shown.empty()) {
      const std::string lines = command_lines_from(collector_.pid());
      if (lines.find("Sesame42") != std::string::npos) shown = lines;
    }
  });
  write_file("qrxcoll.ctl", kTwoCursors);
  const bool reloaded = reload_until("CGN1561I") &&
                        testing::wait_until([&] { return size_of("MORE.HST") > 0; });
  watching = false;
  watcher.join();
  ASSERT_TRUE(reloaded) << logs();
  EXPECT_EQ(shown, "");
  EXPECT_EQ(testing::occurrences(logs(), "CML1530I"), 1) << "never started again: " << logs();
  const std::string after = command_line_of(collector_.pid());
  EXPECT_NE(after.find("qrxcoll"), std::string::npos) << after;
  EXPECT_EQ(after.find("Sesame42"), std::string::npos) << after;
  EXPECT_EQ(logs().find("Sesame42"), std::string::npos) << logs();
  const int status = stop();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << logs();
}

std::string env_or_empty(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// A logon refused for its password stops all further logons; a reload that
// brings the right password through the environment file lifts the stop.
// Runs against the PostgreSQL server of scripts/pg-start.
TEST_F(ReloadRunTest, AReloadWithANewPasswordLiftsTheWrongPasswordStop) {
  if (env_or_empty("QRX_TEST_ODBC").empty()) GTEST_SKIP() << "QRX_TEST_ODBC is not set (scripts/pg-start)";
  write_file("qrxcoll.ctl",
             "cursor PING;\ninterval 1;\nlimit 1;\nhistory;\n"
             "insert_select SELECT CAST(1 AS integer) AS one;\n"
             "INSERT INTO ping (one) VALUES (:one);\nend;\n");
  const fs::path env = write_file("PG.env", "COLL_PASSWORD=not-the-password\n");
  ASSERT_EQ(::chmod(env.c_str(), 0600), 0);
  // As a service manager starts it: the file's settings are in its environment.
  const std::string environment =
      "ODBCSYSINI='" + env_or_empty("ODBCSYSINI") + "' ODBCINI='" + env_or_empty("ODBCINI") +
      "' COLL_DB_DRIVER=odbc COLL_SERVERID='" + env_or_empty("QRX_TEST_ODBC") +
      "' COLL_LOGON='" + env_or_empty("QRX_TEST_ODBC_USER") +
      "' COLL_PASSWORD=not-the-password COLL_NUMOUTBAK=9 COLL_SHUTDOWN_WAIT=0 COLL_ENV_FILE='" +
      env.string() + "'";
  ASSERT_TRUE(collector_.start(dir(), "-dbtype qrx", environment));
  // The second pass no longer tries: the stop is in force.
  ASSERT_TRUE(testing::wait_until([&] { return logs().find("RCD0110S") != std::string::npos; }))
      << logs();
  EXPECT_EQ(size_of("PING.HST"), 0u);

  write_file("PG.env", "COLL_PASSWORD='" + env_or_empty("QRX_TEST_ODBC_PASSWORD") + "'\n");
  kill(collector_.pid(), SIGHUP);
  ASSERT_TRUE(testing::wait_until([&] { return size_of("PING.HST") > 0; })) << logs();
  EXPECT_TRUE(alive());
  const int status = stop();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << logs();
}

}  // namespace
}  // namespace qrx
