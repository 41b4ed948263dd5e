// The collector binary stays up in its scheduling loop, runs its distributors
// turn after turn and ends cleanly on SIGTERM.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "support/collector_process.h"
#include "support/startup_fixture.h"

namespace qrx {
namespace {

class SchedulerRunTest : public testing::StartupTest {
 protected:
  void start() { ASSERT_TRUE(collector_.start(dir(), "-rdbms DEMO -dbtype qrx")); }
  std::string log_text() { return testing::collector_log(dir()); }
  static int count(const std::string& text, const std::string& what) {
    return testing::occurrences(text, what);
  }
  // Waits (at most about 30 seconds) until the log holds `what` `times` times.
  bool wait_for(const std::string& what, int times) {
    return testing::wait_until([&] { return count(log_text(), what) >= times; });
  }
  testing::CollectorProcess collector_;
};

TEST_F(SchedulerRunTest, StaysUpRunningItsDistributorsUntilSigterm) {
  write_file("qrxproc.ctl",
             "process collector;\ntype local;\nlogon_id demo;\ninterval 2;\n"
             "process mailer;\ntype local;\ninterval 1;\nend;\n");
  write_file("qrxdict.ctl", "name SERVER;\ntype char(8);\ninitial 'DEMO';\nend;\n");
  write_file("qrxcoll.ctl",
             "cursor STATS;\ninterval 10;\nINSERT INTO stats (name) VALUES (:name);\nend;\n");
  start();
  ASSERT_TRUE(wait_for("Dist for mailer at ", 3)) << log_text();
  int status = 0;
  EXPECT_EQ(waitpid(collector_.pid(), &status, WNOHANG), 0) << "the collector ended on its own";
  status = collector_.stop(SIGTERM);
  ASSERT_TRUE(WIFEXITED(status)) << log_text();
  EXPECT_EQ(WEXITSTATUS(status), 0);
  const std::string log = log_text();
  EXPECT_NE(log.find("Received interupt (15). Quitting."), std::string::npos) << log;
  EXPECT_NE(log.find("Collector ended"), std::string::npos) << log;
}

}  // namespace
}  // namespace qrx
