// An idle collector takes SIGHUP and SIGTERM while it sleeps, not at its next
// pass: with a collection interval and a longest sleep of 9999 seconds, and
// 600 seconds for the shutdown wait setting and for the request server's
// wait for a request, the reload is logged and the process
// ends by itself (exit status 0, "Collector ended"), over both channel
// transports and without a request server. How long each takes is measured by
// scripts/stop-times; here only that it happens at all before the sleep ends.

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

struct IdleCase {
  const char* name;
  const char* environment;
  bool request_server;
};

const IdleCase kIdleCases[] = {
    {"SharedMemory", "COLL_USESHM=1", true},
    {"Pipes", "COLL_USESHM=0", true},
    {"NoRequestServer", "COLL_USESHM=1", false},
};

class IdleSignalTest : public testing::StartupTest, public ::testing::WithParamInterface<IdleCase> {
 protected:
  void SetUp() override {
    StartupTest::SetUp();
    testing::run_sql((dir() / "IDLE.db").string(),
                     "CREATE TABLE stats (name VARCHAR2(4), val NUMBER(4));"
                     "INSERT INTO stats VALUES ('aa', 1);");
    std::string processes =
        "process collector;\ntype local;\nlogon_id demo;\ninterval 9999;\nsleep 9999;\n";
    if (GetParam().request_server) processes += "process rqs;\ntype local;\ninterval 1;\n";
    write_file("qrxproc.ctl", processes + "end;\n");
    write_file("qrxdict.ctl", "name SERVER;\ntype char(8);\ninitial 'IDLE';\nend;\n");
    write_file("qrxcoll.ctl",
               "cursor STATS;\ninterval 9999;\n"
               "INSERT INTO stats (name, val) VALUES (:name, :val);\nend;\n");
  }

  std::string log() const { return testing::collector_log(dir()); }
  bool logged(const std::string& text) const { return log().find(text) != std::string::npos; }
};

TEST_P(IdleSignalTest, ReloadAndStopAreTakenDuringALongSleep) {
  testing::CollectorProcess collector;
  ASSERT_TRUE(collector.start(dir(), "-rdbms IDLE -dbtype qrx",
                              std::string("COLL_SHUTDOWN_WAIT=600 COLL_WAIT_TIMEOUT=600 ") +
                                  GetParam().environment));
  ASSERT_TRUE(testing::wait_until([&] { return logged("Start collecting."); })) << log();
  if (GetParam().request_server) {
    // The loop serves requests and so waits on the channel, not in a plain sleep.
    ASSERT_TRUE(testing::wait_until([&] {
      return !testing::probe_csv_rows(dir(), GetParam().environment, "IDLE", "STATS").empty();
    })) << log();
  }

  // Each reload finds the loop in another wait: the sleep, the request
  // server's wait for a request.
  for (int reload = 1; reload <= 3; ++reload) {
    ASSERT_EQ(kill(collector.pid(), SIGHUP), 0);
    ASSERT_TRUE(testing::wait_until([&] {
      return testing::occurrences(log(), "Definitions reloaded: 1 cursors") == reload;
    })) << reload << "\n" << log();
  }
  EXPECT_EQ(testing::occurrences(log(), "Reload requested: checking the definitions\n"), 3) << log();

  ASSERT_EQ(kill(collector.pid(), SIGTERM), 0);
  ASSERT_TRUE(testing::wait_until([&] { return collector.ended(); })) << log();
  const int status = collector.stop(SIGTERM);  // the status ended() collected
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  const std::string text = log();
  EXPECT_EQ(testing::occurrences(text, "Received interupt (15). Quitting.\n"), 1) << text;
  EXPECT_EQ(testing::occurrences(text, "Collector ended\n"), 1) << text;
  EXPECT_EQ(text.find("Error terminating RQS IPC environment"), std::string::npos) << text;
}

INSTANTIATE_TEST_SUITE_P(Transports, IdleSignalTest, ::testing::ValuesIn(kIdleCases),
                         [](const ::testing::TestParamInfo<IdleCase>& info) { return info.param.name; });

}  // namespace
}  // namespace qrx
