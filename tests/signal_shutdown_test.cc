// A terminating signal that arrives in the middle of a database fetch: the
// handler only records it, the fetch completes, and the scheduler's loop then
// runs the whole shutdown (messages, channel end, session end, exit status 0)
// with no channel left behind. The collector runs in a forked child over the
// real SQLite backend, wrapped by a driver that raises SIGTERM inside a fetch.

#include <gtest/gtest.h>

#include <signal.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "collector/startup.h"
#include "sqlrt/sqlrt.h"
#include "support/channel_fixture.h"
#include "support/database_fixture.h"
#include "support/log_capture.h"
#include "support/startup_fixture.h"
#include "support/wrapping_driver.h"

namespace qrx {
namespace {

// Raises SIGTERM inside its first fetch, then lets that fetch go on to the
// real backend.
class SignalInFetch : public testing::ForwardingStatement {
 public:
  using ForwardingStatement::ForwardingStatement;
  int fetch(std::span<sqlrt::Binding> columns) override {
    if (raised_) return ForwardingStatement::fetch(columns);
    raised_ = true;
    std::fprintf(stderr, "raising SIGTERM inside the fetch\n");
    ::raise(SIGTERM);
    const int code = ForwardingStatement::fetch(columns);
    std::fprintf(stderr, "fetch completed with %d\n", code);
    return code;
  }

 private:
  bool raised_ = false;
};

class SignalShutdownTest : public testing::StartupTest {
 protected:
  void SetUp() override {
    StartupTest::SetUp();
    char id[16];
    std::snprintf(id, sizeof id, "S%05d", static_cast<int>(getpid() % 100000));
    server_ = id;
    testing::run_sql((dir() / (server_ + ".db")).string(),
                     "CREATE TABLE settings (name TEXT, value TEXT);"
                     "INSERT INTO settings VALUES ('alpha', 'one'), ('beta', 'two');");
    write_file("qrxproc.ctl",
               "process collector;\ntype local;\nlogon_id demo;\ninterval 1;\n"
               "process rqs;\ntype local;\ninterval 1;\nend;\n");
    write_file("qrxdict.ctl", "name SERVER;\ntype char(8);\ninitial 'SIG';\nend;\n");
    write_file("qrxcoll.ctl",
               "cursor SETTINGS;\ninterval 1;\ntrace;\n"
               "INSERT INTO settings (name, value) VALUES (:name, :value);\nend;\n");
  }

  // Runs the collector's start-up and loop in this (forked) process.
  [[noreturn]] void run_collector(int raise_at) {
    const std::string d = dir().string();
    for (const char* name : {"COLL_HOME", "COLL_CTL_HOME", "COLL_OUT", "COLL_PREFIX",
                             "COLL_PREFIX_LOCAL", "HOME"})
      ::setenv(name, d.c_str(), 1);
    ::setenv("COLL_SERVERID", server_.c_str(), 1);
    ::setenv("COLL_HOSTNAME", "host", 1);
    ::setenv("COLL_USESHM", "1", 1);
    ::setenv("COLL_SHUTDOWN_WAIT", "0", 1);
    ::setenv("COLL_WAIT_TIMEOUT", "1", 1);
    if (::chdir(d.c_str()) != 0) std::_Exit(90);
    // The `raise_at`-th statement prepared raises the signal.
    static int prepared = 0;
    static testing::WrappingDriver driver([raise_at](std::unique_ptr<sqlrt::Statement> inner)
                                              -> std::unique_ptr<sqlrt::Statement> {
      if (++prepared == raise_at) return std::make_unique<SignalInFetch>(std::move(inner));
      return inner;
    });
    sqlrt::set_driver_override(&driver);
    std::string words[] = {"qrxcoll", "-rdbms", server_, "-dbtype", "qrx"};
    char* argv[] = {words[0].data(), words[1].data(), words[2].data(), words[3].data(),
                    words[4].data(), nullptr};
    std::exit(collector_main(5, argv));
  }

  // Segment and semaphore-set ids named by the channel's IPC id file.
  std::vector<int> channel_ids() const {
    std::ifstream in(dir() / (server_ + "_qrx_host"));
    int owner = 0, writer = 0, ids[4] = {-1, -1, -1, -1};
    if (!(in >> owner >> writer >> ids[0] >> ids[1] >> ids[2] >> ids[3])) return {};
    return {ids[0], ids[1], ids[2], ids[3]};
  }

  std::string server_;
};

TEST_F(SignalShutdownTest, SigtermInsideAFetchLetsTheFetchEndThenShutsDownFromTheLoop) {
  // The second pass's fetch: by then the request server has built the channel.
  EXPECT_EXIT(run_collector(2), ::testing::ExitedWithCode(0),
              "raising SIGTERM inside the fetch\nfetch completed with 0\n"
              "(.|\n)*CIR5005I.*Received interupt \\(15\\). Quitting.\n");
  const std::string log = testing::collector_log(dir().string());
  const size_t collected = log.rfind("collected records in");
  const size_t quitting = log.find("Received interupt (15). Quitting.\n");
  const size_t ended = log.find("Collector ended\n");
  ASSERT_NE(collected, std::string::npos) << log;
  ASSERT_NE(quitting, std::string::npos) << log;
  ASSERT_NE(ended, std::string::npos) << log;
  EXPECT_LT(collected, quitting) << log;
  EXPECT_LT(quitting, ended) << log;
  EXPECT_EQ(log.find("Error terminating RQS IPC environment"), std::string::npos) << log;
  EXPECT_EQ(log.find("Exiting collector"), std::string::npos) << log;
  const std::vector<int> ids = channel_ids();
  ASSERT_EQ(ids.size(), 4u) << "no channel was built\n" << log;
  EXPECT_TRUE(test::shm_gone(ids[0]));
  EXPECT_TRUE(test::sem_gone(ids[1]));
  EXPECT_TRUE(test::shm_gone(ids[2]));
  EXPECT_TRUE(test::sem_gone(ids[3]));
}

TEST_F(SignalShutdownTest, SigtermCancelsARunawayQueryAndTheCollectorStillEndsCleanly) {
  write_file("qrxcoll.ctl",
             "cursor RUNAWAY;\ninterval 1;\nlimit 1;\ntrace;\n"
             "insert_select WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c) "
             "SELECT count(*) AS n FROM c;\nINSERT INTO runaway (n) VALUES (:n);\nend;\n");
  const std::string d = dir().string();
  // No query time-out: only the shutdown can end the query.
  const std::string command = "cd '" + d + "' && exec env -i PATH=/usr/bin:/bin HOME='" + d +
                              "' USER=tester COLL_HOME='" + d + "' COLL_CTL_HOME='" + d +
                              "' COLL_OUT='" + d + "' COLL_PREFIX='" + d + "' COLL_PREFIX_LOCAL='" + d +
                              "' COLL_SERVERID=" + server_ +
                              " COLL_HOSTNAME=host COLL_SHUTDOWN_WAIT=0 COLL_QUERY_TIMEOUT=0 '" +
                              QRX_BINARY_DIR "/qrxcoll' -rdbms " + server_ + " -dbtype qrx >/dev/null 2>&1";
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  auto log = [&] { return testing::collector_log(d); };
  bool running = false;
  for (int i = 0; i < 200 && !running; ++i) {
    running = log().find("Doing prep_l_fet for cursor RUNAWAY") != std::string::npos;
    if (!running) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_TRUE(running) << log();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // well inside the query
  ASSERT_EQ(kill(pid, SIGTERM), 0);
  int status = -1;
  bool ended = false;
  for (int i = 0; i < 200 && !ended; ++i) {
    ended = waitpid(pid, &status, WNOHANG) == pid;
    if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (!ended) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  ASSERT_TRUE(ended) << "the collector waited for its query\n" << log();
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  const std::string text = log();
  const size_t cancelled = text.find("statement cancelled: the collector is shutting down");
  const size_t quitting = text.find("Received interupt (15). Quitting.\n");
  ASSERT_NE(cancelled, std::string::npos) << text;
  ASSERT_NE(quitting, std::string::npos) << text;
  EXPECT_LT(cancelled, quitting) << text;
  EXPECT_NE(text.find("Collector ended\n"), std::string::npos) << text;
}

}  // namespace
}  // namespace qrx
