// The collector binary on SQLite with an in-list feeding another cursor's
// SQL and an evaluator with send_false: rows follow the list's source from
// run to run, a quote in a listed value stays data, and the evaluator writes
// the row that crossed its threshold and, once the value falls back, the row
// that stopped matching.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <string>

#include "support/collector_process.h"
#include "support/database_fixture.h"
#include "support/log_capture.h"
#include "support/startup_fixture.h"

namespace qrx {
namespace {

class EvaluatorRunTest : public testing::StartupTest {
 protected:
  std::string log_text() { return testing::collector_log(dir()); }
  std::string history() { return testing::file_text((dir() / "SESS.HST").string()); }
  std::string db() { return (dir() / "DEMO.db").string(); }
  testing::CollectorProcess collector_;
};

TEST_F(EvaluatorRunTest, InListFeedsTheOtherCursorAndTheEvaluatorReportsBothChanges) {
  testing::run_sql(db(),
                   "PRAGMA journal_mode = WAL;"
                   "CREATE TABLE users (name VARCHAR2(20), busy NUMBER(4));"
                   "INSERT INTO users VALUES ('ann', 90), ('bob', 10), ('x'') OR (''1''=''1', 70);"
                   "CREATE TABLE sessions (sid NUMBER(3), username VARCHAR2(20));"
                   "INSERT INTO sessions VALUES (101, 'ann'), (202, 'bob'), (303, 'x'') OR (''1''=''1');");
  write_file("qrxproc.ctl",
             "process collector;\ntype local;\nlogon_id demo;\ninterval 1;\n"
             "process historian;\ntype local;\ninterval 1;\n"
             "process evaluator;\ntype local;\ninterval 1;\nsend_false YES;\nend;\n");
  write_file("qrxdict.ctl", "name SERVER;\ntype char(8);\ninitial 'DEMO';\nend;\n");
  write_file("qrxcoll.ctl",
             "cursor BUSY;\ninterval 1;\nsamples 1;\nin_list name using NAMES;\n"
             "insert_select SELECT name FROM users WHERE busy > 50;\n"
             "INSERT INTO users (name) VALUES (:name);\n"
             "cursor SESS;\ninterval 1;\nsamples 1;\nhistory;\n"
             "insert_select SELECT sid, username FROM sessions WHERE username IN [BUSY.NAMES ORDER BY sid;\n"
             "INSERT INTO sessions (sid, username) VALUES (:sid, :username);\n"
             "cursor LOAD;\ninterval 1;\nsamples 1;\n"
             "INSERT INTO users (name, busy) VALUES (:name, :busy);\nend;\n");
  write_file("qrxeval.ctl", "eval HOT;\ncursor LOAD;\ncolumn busy;\noperator >;\nvalue 100;\nend;\n");
  ASSERT_TRUE(collector_.start(dir(), "-rdbms DEMO -dbtype qrx"));

  // The busy users' sessions, the quoted name matched as it is: no other row.
  ASSERT_TRUE(testing::wait_until([&] { return history().find("303") != std::string::npos; })) << log_text();
  std::string text = history();
  EXPECT_NE(text.find("101"), std::string::npos) << text;
  EXPECT_NE(text.find("x') OR ('1'='1"), std::string::npos) << text;
  EXPECT_EQ(text.find("bob"), std::string::npos) << text;
  // The list's source runs first in each pass: the cursor is never held.
  EXPECT_EQ(log_text().find("cmg3220"), std::string::npos) << log_text();

  // The rows follow the source from run to run.
  testing::run_sql(db(), "UPDATE users SET busy = 99 WHERE name = 'bob';");
  ASSERT_TRUE(testing::wait_until([&] { return history().find("bob") != std::string::npos; })) << log_text();

  // The evaluator: nothing above 100 yet; then ann crosses and falls back.
  EXPECT_EQ(log_text().find("cev1760"), std::string::npos) << log_text();
  testing::run_sql(db(), "UPDATE users SET busy = 150 WHERE name = 'ann';");
  ASSERT_TRUE(testing::wait_until([&] {
    return log_text().find("Evaluation HOT (1) true for cursor LOAD") != std::string::npos;
  })) << log_text();
  testing::run_sql(db(), "UPDATE users SET busy = 20 WHERE name = 'ann';");
  ASSERT_TRUE(testing::wait_until([&] {
    return log_text().find("Evaluation HOT (1) turned false for cursor LOAD") != std::string::npos;
  })) << log_text();
  const int status = collector_.stop(SIGTERM);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << log_text();

  const std::string log = log_text();
  EXPECT_NE(log.find(":ann"), std::string::npos) << log;  // the row, column by column
  // The change to false is reported once, however many runs stay below.
  EXPECT_EQ(testing::occurrences(log, "turned false for cursor LOAD"), 1) << log;
}

}  // namespace
}  // namespace qrx
