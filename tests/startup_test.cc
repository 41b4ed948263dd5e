#include "collector/startup.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <fstream>
#include <sstream>

#include "base/clock.h"
#include "base/settings.h"
#include "base/signals.h"
#include "base/stack_limit.h"
#include "collector/exit_path.h"
#include "collector/scheduler.h"
#include "ctl/control_parse.h"
#include "qrx/distributor.h"
#include "support/collector_process.h"
#include "support/log_capture.h"
#include "support/startup_fixture.h"

namespace qrx {
namespace {

using StartupTest = testing::StartupTest;

class FakeStack : public StackLimitCalls {
 public:
  FakeStack(rlim_t soft, rlim_t hard, int get_rc = 0, int set_rc = 0)
      : limit{soft, hard}, get_rc(get_rc), set_rc(set_rc) {}
  int get(rlimit* out) override {
    *out = limit;
    return get_rc;
  }
  int set(const rlimit& wanted) override {
    ++sets;
    if (set_rc == 0) limit = wanted;
    return set_rc;
  }
  rlimit limit;
  int get_rc, set_rc, sets = 0;
};

struct StackCase {
  rlim_t soft;
  int get_rc, set_rc;
  rlim_t soft_after;
  const char* last_message;
};

TEST_F(StartupTest, StackSoftLimitIsRaisedOnlyWhenSmallOrUnlimited) {
  constexpr rlim_t MB = 1024 * 1024;
  const StackCase cases[] = {
      {16 * MB, 0, 0, 16 * MB, "Stack: soft limit: 16777216  hard limit: -1 \n"},
      {8192000, 0, 0, 8192000, "Stack: soft limit: 8192000  hard limit: -1 \n"},
      {4 * MB, 0, 0, 8192000, "Stack: soft limit set to: 8192000  \n"},
      {8191999, 0, 0, 8192000, "Stack: soft limit set to: 8192000  \n"},
      {RLIM_INFINITY, 0, 0, 8192000, "Stack: soft limit set to: 8192000  \n"},
      {4 * MB, 0, -1, 4 * MB, "Stack: setrlimit rc = -1 \n"},
      {4 * MB, -1, 0, 4 * MB, "Stack: getrlimit rc = -1 \n"},
  };
  for (const StackCase& c : cases) {
    SCOPED_TRACE(c.last_message);
    testing::LogCapture log;
    FakeStack stack(c.soft, RLIM_INFINITY, c.get_rc, c.set_rc);
    adjust_stack_limit(stack);
    EXPECT_EQ(stack.limit.rlim_cur, c.soft_after);
    EXPECT_EQ(stack.limit.rlim_max, RLIM_INFINITY);
    std::string text = log.text();
    EXPECT_TRUE(text.ends_with(c.last_message)) << text;
    EXPECT_NE(text.find("CML1526I"), std::string::npos);
  }
}

TEST_F(StartupTest, LogonDefaultsFlowBetweenSettingsAndCollectorDistributor) {
  distributor collector;
  collector.logon_id = "distlogon";
  collector.password = "distpw";
  collector.server_id = "DISTSRV";
  Definitions defs;
  defs.collector_at = &collector;
  env_vars.logonid.clear();
  env_vars.password = "envpw";
  env_vars.serverid = "ENVSRV";
  apply_logon_defaults(defs);
  EXPECT_EQ(env_vars.logonid, "distlogon");
  EXPECT_EQ(collector.password, "envpw");
  EXPECT_EQ(collector.server_id, "ENVSRV");
}

TEST_F(StartupTest, MachineIdIsBlankPadded) {
  env_vars.hostname = "host1";
  env_vars.serverid = std::string(40, 'S');
  fill_machine_id(Definitions{});
  EXPECT_EQ(std::string(machine_id.hostname, 64), "host1" + std::string(59, ' '));
  EXPECT_EQ(std::string(machine_id.serverid, 32), std::string(32, 'S'));
  EXPECT_EQ(std::string(machine_id.spare, 64), std::string(64, ' '));
}

TEST_F(StartupTest, EachRequiredSettingIsChecked) {
  for (auto field : {&EnvVars::serverid, &EnvVars::hostname, &EnvVars::logonid,
                     &EnvVars::db_type}) {
    testing::LogCapture log;
    env_vars.serverid = env_vars.hostname = env_vars.logonid = env_vars.db_type = "x";
    EXPECT_EQ(check_required_settings(), 0);
    env_vars.*field = "";
    EXPECT_EQ(check_required_settings(), 1);
    EXPECT_NE(log.text().find("CML1528S"), std::string::npos);
    EXPECT_NE(log.text().find("Missing required environment variables.\n"), std::string::npos);
  }
}

TEST_F(StartupTest, PresentSettingsBecomeDictionaryParameters) {
  env_vars = EnvVars{};
  env_vars.serverid = "ORCL";
  env_vars.db_type = "xpa";
  env_vars.password = "pw";
  register_setting_parms();
  EXPECT_EQ(*search_dict_parm("rdbms"), "ORCL");
  EXPECT_EQ(*search_dict_parm("DBTYPE"), "xpa");
  EXPECT_EQ(*search_dict_parm("password"), "pw");
  EXPECT_EQ(search_dict_parm("errlog"), nullptr);
  EXPECT_EQ(search_dict_parm("logonid"), nullptr);
}

// The handler currently installed for `sig`.
void (*handler_of(int sig))(int) {
  struct sigaction action {};
  sigaction(sig, nullptr, &action);
  return action.sa_handler;
}

class SignalTest : public StartupTest {
 protected:
  void TearDown() override {
    set_signal(0);
    reset_signals();
    StartupTest::TearDown();
  }
};

TEST_F(SignalTest, InstallSavesAndRestoreRecoversDispositions) {
  auto term_before = handler_of(SIGTERM);
  auto hup_before = handler_of(SIGHUP);
  env_vars.nosignals = 0;
  set_signal(1);
  set_signal(1);  // a second install must not save our own handler as "previous"
  EXPECT_EQ(handler_of(SIGTERM), &do_interrupt);
  EXPECT_EQ(handler_of(SIGUSR2), &do_interrupt);
  EXPECT_EQ(handler_of(SIGHUP), &do_interrupt);  // a reload request
  set_signal(0);
  set_signal(0);
  EXPECT_EQ(handler_of(SIGTERM), term_before);
  EXPECT_EQ(handler_of(SIGHUP), hup_before);
}

TEST_F(SignalTest, NosignalsLimitsWhatIsTouched) {
  auto hup_before = handler_of(SIGHUP);
  auto term_before = handler_of(SIGTERM);
  env_vars.nosignals = 3;
  set_signal(1);
  EXPECT_EQ(handler_of(SIGTERM), &do_interrupt);
  EXPECT_EQ(handler_of(SIGHUP), hup_before);
  set_signal(0);
  env_vars.nosignals = 4;
  set_signal(1);
  EXPECT_EQ(handler_of(SIGTERM), term_before);
}

TEST_F(SignalTest, Sigusr1IsOnlyRecordedAndTheLoopLogsIt) {
  testing::LogCapture log;
  env_vars.nosignals = 0;
  set_signal(1);
  std::raise(SIGUSR1);
  EXPECT_EQ(go_home, 0);
  EXPECT_EQ(log.text(), "");  // the handler writes nothing
  EXPECT_EQ(take_signals(), 0);
  EXPECT_NE(log.text().find("CIR5004I"), std::string::npos) << log.text();
  EXPECT_NE(log.text().find("Received interupt (10). Returning\n"), std::string::npos);
  EXPECT_EQ(take_signals(), 0);
  EXPECT_EQ(testing::occurrences(log.text(), "CIR5004I"), 1);
}

// The wake pipe: readable while a reload request waits, empty once it is
// taken; a byte no request stands behind (a child's signal between fork and
// exec) is dropped by the wait that finds it instead of ending every wait.
TEST_F(SignalTest, WakePipeIsReadableWhileARequestWaitsAndForgetsStrayWakeUps) {
  const auto readable = [] {
    pollfd p{signal_wake_fd(), POLLIN, 0};
    return ::poll(&p, 1, 0) == 1;
  };
  env_vars.nosignals = 0;
  set_signal(1);
  ASSERT_GE(signal_wake_fd(), 0);
  EXPECT_FALSE(readable());
  std::raise(SIGHUP);
  EXPECT_TRUE(signal_waiting());
  EXPECT_TRUE(readable());
  EXPECT_TRUE(woken_by_signal());
  EXPECT_TRUE(take_reload_request());
  EXPECT_FALSE(signal_waiting());
  EXPECT_FALSE(readable());

  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::raise(SIGHUP);  // its own flag; the pipe is the parent's too
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(readable());
  EXPECT_FALSE(signal_waiting());
  EXPECT_FALSE(woken_by_signal());
  EXPECT_FALSE(readable());
  set_signal(0);
  EXPECT_EQ(signal_wake_fd(), -1);
}

// Records any wait instead of sleeping.
class WaitRecorder : public Clock {
 public:
  std::time_t now() override { return 0; }
  void sleep_seconds(unsigned seconds) override { std::fprintf(stderr, "waited %u\n", seconds); }
};

// Nothing is in flight once the loop takes the signal: no wait before or
// after the channel's and the session's end.
TEST_F(SignalTest, SigtermIsRecordedThenTheLoopEndsChannelAndDatabaseAndQuitsWithoutWaiting) {
  EXPECT_EXIT(
      {
        stdout_to_stderr();
        WaitRecorder clock;
        set_clock(&clock);
        shutdown_hooks().terminate_channel = [] {
          std::fprintf(stderr, "channel term\n");
          return 1;
        };
        shutdown_hooks().end_database = [] { std::fprintf(stderr, "database ended\n"); };
        shutdown_hooks().send_shut = [] { std::fprintf(stderr, "shut sent\n"); };
        env_vars.nosignals = 0;
        set_signal(1);
        std::raise(SIGTERM);
        std::fprintf(stderr, "recorded %d\n", static_cast<int>(go_home));
        Definitions defs;
        schedule(defs);
      },
      ::testing::ExitedWithCode(0),
      "recorded 1\n.*CIR5005I.*Received interupt \\(15\\). Quitting.\nchannel term\n"
      ".*CIR5008E.*Error terminating RQS IPC environment\ndatabase ended\n"
      "shut sent\n.*GGN1505S.*Time = .*, Collector ended\n");
}

TEST_F(StartupTest, CollectorWithoutItsTurnsRefusesToStartAndSaysWhatIsMissing) {
  const ScheduleHooks saved = schedule_hooks();
  const ShutdownHooks saved_shutdown = shutdown_hooks();
  testing::LogCapture log;
  schedule_hooks().collect = nullptr;
  schedule_hooks().do_rqs = nullptr;
  schedule_hooks().do_history = [](const std::string&) { return 0; };
  schedule_hooks().do_nrqs = [](distributor&, const std::string&) { return 0; };
  schedule_hooks().wait_for_request = [](int32_t, int32_t) {};
  EXPECT_EQ(check_hooks(), 1);
  EXPECT_TRUE(log.has("CML1533", 'S', "Cannot start collecting: no collect is installed")) << log.text();
  EXPECT_TRUE(log.has("CML1533", 'S', "Cannot start collecting: no do_rqs is installed")) << log.text();
  EXPECT_EQ(testing::occurrences(log.text(), "CML1533"), 2);

  DefinitionsInUse in_use;
  in_use.defs = std::make_unique<Definitions>();
  install_hooks(in_use);
  auto evaluator = std::make_unique<distributor>();
  evaluator->distrib_name = "evaluator";
  in_use.defs->distrib_anchor.push_back(std::move(evaluator));
  // The evaluator runs: nothing to warn about.
  EXPECT_EQ(check_hooks(), 0);
  EXPECT_TRUE(schedule_hooks().do_evaluator);
  EXPECT_EQ(testing::occurrences(log.text(), "CML1534"), 0) << log.text();
  schedule_hooks() = saved;
  shutdown_hooks() = saved_shutdown;
}

TEST_F(StartupTest, QuittingExitsWithStatusZeroExceptForCodeMinusOne) {
  EXPECT_EXIT(
      {
        stdout_to_stderr();
        shutdown_hooks().send_shut = [] { std::fprintf(stderr, "shut sent\n"); };
        quitting(-1002);
      },
      ::testing::ExitedWithCode(0), "shut sent\n.*GGN1505S.*Collector ended\n");
  EXPECT_EXIT(
      {
        stdout_to_stderr();
        quitting(-1);
        std::fprintf(stderr, "returned\n");
        std::exit(3);
      },
      ::testing::ExitedWithCode(3), "Collector ended\n.*returned");
}

TEST_F(StartupTest, AtExitMessageIsSilentAfterATerminatingSignal) {
  testing::LogCapture log;
  my_atexit();
  EXPECT_NE(log.text().find("COL9999S"), std::string::npos) << log.text();
  EXPECT_NE(log.text().find("Exiting collector at "), std::string::npos);
  go_home = 1;
  std::string before = log.text();
  my_atexit();
  EXPECT_EQ(log.text(), before);
}

// Runs the real collector in a temporary directory and keeps its output.
// The smallest distributor file start-up accepts.
constexpr const char* kMinimalProc = "process collector;\n  type local;\n  interval 10;\nend;\n";

class CollectorRunTest : public StartupTest {
 protected:
  // Exit status of qrxcoll run with `args` in dir(), in an environment of
  // its own plus `variables` ("NAME=value ..."); a collector that gets as
  // far as its loop is stopped with SIGTERM once it says so.
  int run(const std::string& args, const std::string& variables = "COLL_SERVERID=ORCL") {
    std::string d = dir().string();
    std::string command = "cd '" + d + "' && exec env -i PATH=\"$PATH\" HOME='" + d +
                          "' USER=tester COLL_HOME='" + d + "' COLL_OUT='" + d +
                          "' COLL_PREFIX='" + d + "' COLL_PREFIX_LOCAL='" + d +
                          "' COLL_LOGON=scott COLL_HOSTNAME=testhost COLL_SHUTDOWN_WAIT=0 " +
                          variables + " '" QRX_BINARY_DIR
                          "/qrxcoll' " + args + " >stdout.txt 2>stderr.txt";
    int status = testing::run_until_collecting(dir(), command);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::string file(const std::string& name) {
    std::ifstream in(dir() / name);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
};

TEST_F(CollectorRunTest, WithoutProcessCtlReportsTheMissingFileAndEndsWithItsStatus) {
  ASSERT_EQ(run("-dbtype xpa"), kExitProcessCtl);
  std::string log = file("testhost_pa_ORCL_col.out");
  EXPECT_NE(log.find("CAT2035I"), std::string::npos) << log;
  EXPECT_NE(log.find("Stack: soft limit: "), std::string::npos) << log;
  EXPECT_NE(log.find("UOI0055E"), std::string::npos) << log;
  EXPECT_NE(log.find("Could not find a xpaproc.ctl file\n"), std::string::npos) << log;
  const std::string d = dir().string();
  EXPECT_NE(log.find("UOI0060E"), std::string::npos) << log;
  EXPECT_NE(log.find("Looked for it as " + d + "/ORCL/xpaproc.ctl, " + d + "/ORCL_xpaproc.ctl, " + d +
                     "/xpaproc.ctl\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("Collector ended\n"), std::string::npos) << log;
  EXPECT_NE(file("stderr.txt").find("Could not find a xpaproc.ctl file"), std::string::npos);
}

TEST_F(CollectorRunTest, MissingServerIdEndsStartUpAfterTheDistributorFile) {
  write_file("xpaproc.ctl", kMinimalProc);
  ASSERT_EQ(run("-dbtype xpa", ""), kExitSettings);
  std::string log = file("testhost_pa_col.out");
  EXPECT_NE(log.find("UOI0025I"), std::string::npos) << log;
  EXPECT_NE(log.find("Missing required environment variables.\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("Start collecting."), std::string::npos);
}

TEST_F(CollectorRunTest, MissingDictionaryFileEndsStartUp) {
  write_file("xpaproc.ctl", kMinimalProc);
  ASSERT_EQ(run("-dbtype xpa"), kExitDictCtl);
  std::string log = file("testhost_pa_ORCL_col.out");
  EXPECT_NE(log.find("Could not find a xpadict.ctl file\n"), std::string::npos) << log;
  EXPECT_NE(log.find("Collector ended\n"), std::string::npos);
  EXPECT_EQ(log.find("Start collecting."), std::string::npos);
}

TEST_F(CollectorRunTest, DebugRunListsTheSettingsAndStartsCollecting) {
  write_file("ORCL/xpaproc.ctl", kMinimalProc);
  write_file("xpadict.ctl", "name SERVER;\n  type char(32);\n  initial -rdbms X;\nend;\n");
  write_file("xpacoll.ctl", "cursor ONE;\n  interval 10;\n  insert INSERT INTO t (a) VALUES (:a);\nend;\n");
  ASSERT_EQ(run("-d -dbtype xpa", "COLL_SERVERID=ORCL COLL_DISABLE_CURSORS=kf1"), 0);
  std::string log = file("testhost_pa_ORCL_col.out");
  EXPECT_NE(log.find("Environment Setting:\n"), std::string::npos) << log;
  EXPECT_NE(log.find("\t serverid=ORCL\n"), std::string::npos);
  EXPECT_NE(log.find("\t COLL_DISABLE_CURSOR_KF1=AND FIL.FILE_ID < 128\n"), std::string::npos);
  EXPECT_NE(log.find("CML1530I"), std::string::npos);
  EXPECT_NE(log.find("Start collecting. -------------------------------\n"), std::string::npos);
}

TEST_F(CollectorRunTest, ArgumentFileErrorsGiveTheirExitStatus) {
  EXPECT_EQ(run("@missing.args"), 95);
  EXPECT_NE(file("stderr.txt").find("Include file \"missing.args\" errno=2"), std::string::npos)
      << file("stdout.txt") << file("stderr.txt");
  write_file("self.args", "@self.args");
  EXPECT_EQ(run("-filein self.args"), 15);
}

}  // namespace
}  // namespace qrx
