// The collector binary stays up in its scheduling loop, runs its distributors
// turn after turn and ends cleanly on SIGTERM.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "support/log_capture.h"
#include "support/startup_fixture.h"

namespace qrx {
namespace {

namespace fs = std::filesystem;

class SchedulerRunTest : public testing::StartupTest {
 protected:
  void TearDown() override {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    StartupTest::TearDown();
  }
  // Starts qrxcoll in dir(); each of its two shutdown waits lasts one second.
  void start() {
    const std::string d = dir().string();
    const std::string command = "cd '" + d + "' && exec env -i PATH=/usr/bin:/bin HOME='" + d +
                                "' USER=tester COLL_HOME='" + d + "' COLL_CTL_HOME='" + d +
                                "' COLL_OUT='" + d + "' COLL_SHUTDOWN_WAIT=1 '" QRX_BINARY_DIR
                                "/qrxcoll' -rdbms DEMO -dbtype qrx >/dev/null 2>&1";
    pid_ = fork();
    ASSERT_GE(pid_, 0);
    if (pid_ == 0) {
      execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  std::string log_text() { return testing::collector_log(dir().string()); }
  static int count(const std::string& text, const std::string& what) {
    return testing::occurrences(text, what);
  }
  // Waits (at most about 30 seconds) until the log holds `what` `times` times.
  bool wait_for(const std::string& what, int times) {
    for (int i = 0; i < 300; ++i) {
      if (count(log_text(), what) >= times) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }
  // Waits for the process to end; returns its wait status.
  int reap() {
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return status;
  }
  pid_t pid_ = -1;
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
  EXPECT_EQ(waitpid(pid_, &status, WNOHANG), 0) << "the collector ended on its own";
  ASSERT_EQ(kill(pid_, SIGTERM), 0);
  status = reap();
  ASSERT_TRUE(WIFEXITED(status)) << log_text();
  EXPECT_EQ(WEXITSTATUS(status), 0);
  const std::string log = log_text();
  EXPECT_NE(log.find("Received interupt (15). Quitting."), std::string::npos) << log;
  EXPECT_NE(log.find("Collector ended"), std::string::npos) << log;
}

}  // namespace
}  // namespace qrx
