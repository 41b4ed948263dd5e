// The collector binary on a database file that is no database: the failure
// is logged once when it begins, nothing per cursor and pass while it lasts,
// and once when a sound file takes its place.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/collector_process.h"
#include "support/database_fixture.h"
#include "support/log_capture.h"
#include "support/startup_fixture.h"

namespace qrx {
namespace {

class LastingFailureRunTest : public testing::StartupTest {
 protected:
  std::string log() const { return testing::collector_log(dir()); }
  bool logged(const std::string& what, int times = 1) const {
    return testing::wait_until([&] { return testing::occurrences(log(), what) >= times; });
  }
};

TEST_F(LastingFailureRunTest, FileThatIsNoDatabaseIsLoggedOnceNotPerCursorAndPass) {
  const std::string database = (dir() / "DEMO.db").string();
  write_file("DEMO.db", std::string(4096, 'x'));
  write_file("qrxproc.ctl", "process collector;\ntype local;\nlogon_id demo;\ninterval 1;\nend;\n");
  write_file("qrxdict.ctl", "name SERVER;\ntype char(8);\ninitial 'DEMO';\nend;\n");
  write_file("qrxcoll.ctl",
             "cursor ONE;\ninterval 1;\ntrace;\ninsert_select SELECT 1 AS one;\n"
             "INSERT INTO one (one) VALUES (:one);\n"
             "cursor TWO;\ninterval 1;\ninsert_select SELECT 2 AS two;\n"
             "INSERT INTO two (two) VALUES (:two);\n"
             "cursor THREE;\ninterval 1;\ninsert_select SELECT 3 AS three;\n"
             "INSERT INTO three (three) VALUES (:three);\nend;\n");
  testing::CollectorProcess collector;
  ASSERT_TRUE(collector.start(dir(), "-rdbms DEMO -dbtype qrx"));
  ASSERT_TRUE(logged("RCD0115E")) << log();
  const int passes = testing::occurrences(log(), "Interval collection at");
  ASSERT_TRUE(logged("Interval collection at", passes + 4)) << log();

  // A sound database takes the file's place.
  const std::string sound = (dir() / "sound.db").string();
  testing::run_sql(sound, "CREATE TABLE t (x INTEGER);");
  std::filesystem::rename(sound, database);
  ASSERT_TRUE(logged("RCD0126I")) << log();
  const int collected = testing::occurrences(log(), "Interval collection at");
  ASSERT_TRUE(logged("Interval collection at", collected + 2)) << log();
  const int status = collector.stop(SIGTERM);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

  const std::string text = log();
  EXPECT_EQ(testing::occurrences(text, ") Cannot connect to SQLite: file is not a database: " + database + "\n"),
            1)
      << text;
  EXPECT_EQ(testing::occurrences(text, ") Connected to SQLite\n"), 1) << text;
  // From the start of collection to the sound file: the logon failure with
  // its code and message, and the line that names it; nothing more, however
  // many passes failed.
  const std::size_t began = text.find("Start collecting.");
  const std::size_t ended = text.find(") Connected to SQLite\n");
  ASSERT_LT(began, ended);
  const std::vector<std::string> failing = testing::error_lines(text.substr(began, ended - began));
  ASSERT_EQ(failing.size(), 4u) << text;
  EXPECT_TRUE(failing[0].starts_with("RCD0100E")) << failing[0];
  EXPECT_TRUE(failing[3].starts_with("RCD0115E")) << failing[3];
  EXPECT_EQ(testing::occurrences(text, "CGN1521E"), 0) << text;
  EXPECT_EQ(testing::occurrences(text, "CGN1525E"), 0) << text;
}

}  // namespace
}  // namespace qrx
