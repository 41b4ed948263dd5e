// The collector binary reloading its definitions on SIGHUP: sound control
// files are taken through a restart in the same process (same pid), faulty
// ones are logged fault by fault with their locations while collection goes
// on, and the environment file's settings reach the restarted run.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "collector/reload.h"
#include "support/collector_process.h"
#include "support/database_fixture.h"
#include "support/log_capture.h"
#include "support/startup_fixture.h"

namespace qrx {
namespace {

namespace fs = std::filesystem;

constexpr char kCursor[] =
    "cursor STATS;\ninterval 1;\nhistory;\nsamples 1;\n"
    "INSERT INTO stats (name, val) VALUES (:name, :val);\nend;\n";
// The same file with a second cursor.
constexpr char kTwoCursors[] =
    "cursor STATS;\ninterval 1;\nhistory;\nsamples 1;\n"
    "INSERT INTO stats (name, val) VALUES (:name, :val);\n"
    "cursor MORE;\ninterval 1;\nhistory;\nsamples 1;\n"
    "INSERT INTO stats (name, val) VALUES (:name, :val);\nend;\n";

class ReloadRunTest : public testing::StartupTest {
 protected:
  void SetUp() override {
    StartupTest::SetUp();
    testing::run_sql((dir() / "DEMO.db").string(),
                     "CREATE TABLE stats (name VARCHAR2(4), val NUMBER(4));"
                     "INSERT INTO stats VALUES ('aa', 1), ('bbbb', 2222);");
    write_file("qrxproc.ctl",
               "process collector;\ntype local;\nlogon_id demo;\ninterval 1;\n"
               "process historian;\ntype local;\ninterval 1;\nend;\n");
    write_file("qrxdict.ctl", "name SERVER;\ntype char(8);\ninitial 'DEMO';\nend;\n");
    write_file("qrxcoll.ctl", kCursor);
  }

  // Every message log of the run, oldest backup first: a restart moves the
  // log it found to a backup.
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

  testing::CollectorProcess collector_;
};

TEST_F(ReloadRunTest, SoundDefinitionsAreTakenByARestartOfTheSameProcess) {
  ASSERT_TRUE(start());
  ASSERT_TRUE(testing::wait_until([&] { return size_of("STATS.HST") > 0; })) << logs();
  write_file("qrxcoll.ctl", kTwoCursors);
  kill(collector_.pid(), SIGHUP);
  ASSERT_TRUE(testing::wait_until([&] { return size_of("MORE.HST") > 0; })) << logs();
  EXPECT_TRUE(alive()) << "the same process goes on";
  const std::string text = logs();
  EXPECT_NE(text.find("CGN1560I"), std::string::npos) << text;
  EXPECT_NE(text.find("The definitions are sound: restarting on them"), std::string::npos) << text;
  EXPECT_EQ(testing::occurrences(text, "CML1530I"), 2) << "started twice: " << text;
  EXPECT_EQ(text.find("CML1561"), std::string::npos) << text;
  const int status = stop();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << logs();
}

TEST_F(ReloadRunTest, FaultyDefinitionsAreLoggedWithTheirLocationsAndCollectionGoesOn) {
  ASSERT_TRUE(start());
  ASSERT_TRUE(testing::wait_until([&] { return size_of("STATS.HST") > 0; })) << logs();
  write_file("qrxcoll.ctl",
             "cursor STATS;\ninterval 1;\nhistory;\nsamples 1;\n"
             "INSERT INTO stats (name, val) VALUES (:name, :val);\nbogus 3;\nend;\n");
  kill(collector_.pid(), SIGHUP);
  ASSERT_TRUE(testing::wait_until([&] { return logs().find("CML1561E") != std::string::npos; }))
      << logs();
  std::string text = logs();
  EXPECT_NE(text.find(") Unknown keyword (bogus)\n  at qrxcoll.ctl:6, cursor STATS\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("PCC0755E"), std::string::npos) << text;
  EXPECT_NE(text.find("Reload refused (the check found faults, exit status 22): going on with "
                      "the definitions in use\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(testing::occurrences(text, "PCC0301I"), 1) << "the check's notices stay out";
  EXPECT_EQ(text.find("CGN1522"), std::string::npos) << text;
  // Collection goes on with the definitions in use.
  const std::size_t before = size_of("STATS.HST");
  ASSERT_TRUE(testing::wait_until([&] { return size_of("STATS.HST") > before; })) << logs();
  EXPECT_TRUE(alive());

  // Once the files are mended, the next reload takes them.
  write_file("qrxcoll.ctl", kTwoCursors);
  kill(collector_.pid(), SIGHUP);
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
  kill(collector_.pid(), SIGHUP);
  ASSERT_TRUE(testing::wait_until([&] { return logs().find("CML1561E") != std::string::npos; }))
      << logs();
  std::string text = logs();
  EXPECT_NE(text.find(") " + env.string() + ":2: not a NAME=value line\n"), std::string::npos)
      << text;
  EXPECT_NE(text.find("Reload refused (the environment file " + env.string() +
                      " has faults): going on with the definitions in use\n"),
            std::string::npos)
      << text;
  EXPECT_FALSE(fs::exists(dir() / "STATS.HST.1"));

  // The mended file's setting reaches the restarted run: its history rotates.
  write_file("DEMO.env", "COLL_SERVERID=DEMO\nCOLL_HISTORY_ROTATE_SIZE=1\n");
  kill(collector_.pid(), SIGHUP);
  ASSERT_TRUE(testing::wait_until([&] { return fs::exists(dir() / "STATS.HST.2"); })) << logs();
  EXPECT_TRUE(alive());
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

// A restart runs the program file the collector was started from, also when
// it was found through PATH (argv[0] without a directory).
TEST(ReloadProgramFileTest, ANameWithoutDirectoryIsThisProcesssOwnExecutable) {
  char self[4096] = {};
  ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
  EXPECT_EQ(program_file("qrxcoll"), std::string(self));
  EXPECT_EQ(program_file("/opt/qrx/bin/qrxcoll"), "/opt/qrx/bin/qrxcoll");
  EXPECT_EQ(program_file("./qrxcoll"), "./qrxcoll");
}

}  // namespace
}  // namespace qrx
