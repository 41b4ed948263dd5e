// The real collector serving the real probe over both transports: cursor
// rows, closed windows, unknown cursors, status, RETRACE, SHUTDOWN and the
// "nrqs" rows in the log. Each test has its own server id, directory and
// channel, so tests may run in parallel.

#include <gtest/gtest.h>

#include <signal.h>
#include <sqlite3.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "support/channel_fixture.h"
#include "support/log_capture.h"
#include "support/startup_fixture.h"

namespace qrx {
namespace {

namespace fs = std::filesystem;

struct Transport {
  const char* name;
  const char* use_shm;  // COLL_USESHM
};
const Transport kTransports[] = {{"SharedMemory", "1"}, {"Pipes", "0"}};

// What one run of the probe printed and how it ended.
struct ProbeResult {
  int status = -1;
  std::string out;
};

class RequestRunTest : public testing::StartupTest,
                       public ::testing::WithParamInterface<Transport> {
 protected:
  void SetUp() override {
    StartupTest::SetUp();
    static int counter = 0;
    char id[16];
    std::snprintf(id, sizeof id, "R%05d%02d", static_cast<int>(getpid() % 100000),
                  ++counter % 100);
    server_ = id;
    make_database();
    write_file("qrxdict.ctl", "name SERVER;\ntype char(8);\ninitial 'RQS';\nend;\n");
  }
  void TearDown() override {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      // A killed collector leaves its channel: remove it for the next test.
      for (int id : channel_ids(true)) shmctl(id, IPC_RMID, nullptr);
      for (int id : channel_ids(false)) semctl(id, 0, IPC_RMID);
    }
    StartupTest::TearDown();
  }

  void make_database() {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((dir() / (server_ + ".db")).c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "CREATE TABLE settings (name TEXT, value TEXT);"
                           "INSERT INTO settings VALUES ('alpha', 'one'), ('beta', 'two');",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
  }

  // PROCESS.CTL with the collector, "rqs" and `extra` distributors.
  void write_processes(const std::string& extra = "") {
    write_file("qrxproc.ctl", "process collector;\ntype local;\nlogon_id demo;\ninterval 1;\n"
                              "process rqs;\ntype local;\ninterval 1;\n" +
                                  extra + "end;\n");
  }

  // A cursor reading the settings table with `clauses`.
  static std::string cursor(const std::string& name, const std::string& clauses) {
    return "cursor " + name + ";\n" + clauses +
           "INSERT INTO settings (name, value) VALUES (:name, :value);\n";
  }

  std::string environment() const {
    const std::string d = dir().string();
    return "env -i PATH=/usr/bin:/bin HOME='" + d + "' USER=tester COLL_HOME='" + d +
           "' COLL_CTL_HOME='" + d + "' COLL_OUT='" + d + "' COLL_PREFIX='" + d +
           "' COLL_PREFIX_LOCAL='" + d + "' COLL_SERVERID=" + server_ +
           " COLL_HOSTNAME=host COLL_VERSION=qrx COLL_USESHM=" + GetParam().use_shm +
           " COLL_SHUTDOWN_WAIT=0 COLL_WAIT_TIMEOUT=1 WAIT_TIMEOUT=20 ";
  }

  // Starts qrxcoll and waits until it has entered its loop.
  void start() {
    const std::string command = "cd '" + dir().string() + "' && exec " + environment() +
                                "'" QRX_BINARY_DIR "/qrxcoll' -rdbms " + server_ +
                                " -dbtype qrx >/dev/null 2>&1";
    pid_ = fork();
    ASSERT_GE(pid_, 0);
    if (pid_ == 0) {
      execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    ASSERT_TRUE(wait_for("Start collecting.", 1)) << log_text();
  }

  // Runs qrxprobe with `args`; its standard output and exit status.
  ProbeResult probe(const std::string& args) {
    const std::string command = "cd '" + dir().string() + "' && " + environment() +
                                "'" QRX_BINARY_DIR "/qrxprobe' -rdbms " + server_ +
                                " -dbtype qrx " + args + " 2>/dev/null";
    ProbeResult result;
    std::FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return result;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) result.out.append(buffer, n);
    const int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
  }

  std::string log_text() const { return testing::collector_log(dir().string()); }
  static int count(const std::string& text, const std::string& what) {
    return testing::occurrences(text, what);
  }
  // Waits (at most about 20 seconds) until the log holds `what` `times` times.
  bool wait_for(const std::string& what, int times, int tenths = 200) {
    for (int i = 0; i < tenths; ++i) {
      if (count(log_text(), what) >= times) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }
  // Waits (at most about 20 seconds) for the collector to end; its wait status.
  int reap() {
    int status = -1;
    for (int i = 0; i < 200; ++i) {
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return status;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return -1;
  }
  // Segment (or semaphore set) ids named by the channel's IPC id file.
  std::vector<int> channel_ids(bool segments) const {
    std::ifstream in(dir() / (server_ + "_qrx_host"));
    int owner = 0, writer = 0, ids[4] = {-1, -1, -1, -1};
    if (!(in >> owner >> writer >> ids[0] >> ids[1] >> ids[2] >> ids[3])) return {};
    return segments ? std::vector<int>{ids[0], ids[2]} : std::vector<int>{ids[1], ids[3]};
  }
  // Channel files the collector or a probe made in the test directory.
  std::vector<std::string> fifos() const {
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(dir()))
      if (entry.is_fifo()) found.push_back(entry.path().filename().string());
    return found;
  }

  std::string server_;
  pid_t pid_ = -1;
};

TEST_P(RequestRunTest, OnDemandCursorIsFetchedForTheRequest) {
  write_processes();
  write_file("qrxcoll.ctl", cursor("PARAMS", "demand;\n") + "end;\n");
  start();
  const ProbeResult reply = probe("get PARAMS");
  ASSERT_EQ(reply.status, 0) << log_text();
  EXPECT_NE(reply.out.find("PARAMS rows=2 length="), std::string::npos) << reply.out;
  EXPECT_NE(reply.out.find("alpha"), std::string::npos) << reply.out;
  EXPECT_NE(reply.out.find("beta"), std::string::npos) << reply.out;
}

TEST_P(RequestRunTest, UnknownCursorIsAnsweredNoneAndServingGoesOn) {
  write_processes();
  write_file("qrxcoll.ctl", cursor("PARAMS", "demand;\n") + "end;\n");
  start();
  const ProbeResult unknown = probe("get NOSUCH");
  ASSERT_EQ(unknown.status, 0) << log_text();
  EXPECT_EQ(unknown.out, "NOSUCH rows=0 length=0\n");
  const ProbeResult known = probe("get PARAMS");
  EXPECT_NE(known.out.find("PARAMS rows=2 "), std::string::npos) << known.out << log_text();
}

TEST_P(RequestRunTest, CursorOutsideItsWindowIsAnsweredNone) {
  // A one-minute window twelve hours away, on every kind of day.
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char window[200];
  const int hour = (local.tm_hour + 12) % 24;
  std::snprintf(window, sizeof window,
                "interval 1;\nmon_fri_start %02d00;\nmon_fri_end %02d01;\n"
                "saturday_start %02d00;\nsaturday_end %02d01;\n"
                "sunday_start %02d00;\nsunday_end %02d01;\n",
                hour, hour, hour, hour, hour, hour);
  write_processes();
  write_file("qrxcoll.ctl", cursor("CLOSED", window) + "end;\n");
  start();
  const ProbeResult reply = probe("get CLOSED");
  ASSERT_EQ(reply.status, 0) << log_text();
  EXPECT_EQ(reply.out, "CLOSED rows=0 length=0\n");
}

TEST_P(RequestRunTest, IntervalCursorIsAnsweredWithItsCollectedRows) {
  write_processes();
  // One sample is answered however many passes ran before the request.
  write_file("qrxcoll.ctl", cursor("TICKS", "interval 1;\nsamples 1;\ntrace;\n") + "end;\n");
  start();
  ASSERT_TRUE(wait_for("Interval collection at ", 1)) << log_text();
  const ProbeResult reply = probe("get TICKS");
  ASSERT_EQ(reply.status, 0) << log_text();
  EXPECT_NE(reply.out.find("TICKS rows=2 "), std::string::npos) << reply.out;
  EXPECT_NE(reply.out.find("alpha"), std::string::npos) << reply.out;
}

TEST_P(RequestRunTest, ParametersReachTheParmColumns) {
  // Three "%parm" columns, two parameters: the third keeps its value. A
  // reference ends at a quote; "%parm" fields are written as they are.
  write_processes();
  write_file("qrxcoll.ctl",
             "cursor PICKED;\ndemand;\n"
             "insert_select SELECT name, value FROM settings WHERE name IN "
             "('[%parm0', '[%parm1', '[%parm2');\n"
             "INSERT INTO settings (name, value) VALUES (:name, :value);\nend;\n");
  start();
  const ProbeResult first = probe("get PICKED nobody nobody beta");
  EXPECT_NE(first.out.find("PICKED rows=1 "), std::string::npos) << first.out << log_text();
  // Three "%parm" columns, two parameters: the third still holds "beta".
  const ProbeResult second = probe("get PICKED alpha nobody");
  EXPECT_NE(second.out.find("PICKED rows=2 "), std::string::npos) << second.out << log_text();
  EXPECT_NE(second.out.find("alpha"), std::string::npos) << second.out;
  EXPECT_NE(second.out.find("beta"), std::string::npos) << second.out;
}

TEST_P(RequestRunTest, EmptyParameterKeepsItsPlace) {
  // The empty first parameter must not move "alpha" into "%parm0".
  write_processes();
  write_file("qrxcoll.ctl",
             "cursor PICKED;\ndemand;\n"
             "insert_select SELECT name, value FROM settings WHERE name = '[%parm1';\n"
             "INSERT INTO settings (name, value) VALUES (:name, :value);\nend;\n");
  start();
  const ProbeResult reply = probe("get PICKED '' alpha");
  ASSERT_EQ(reply.status, 0) << log_text();
  EXPECT_NE(reply.out.find("PICKED rows=1 "), std::string::npos) << reply.out << log_text();
  EXPECT_NE(reply.out.find("alpha"), std::string::npos) << reply.out;
}

TEST_P(RequestRunTest, HostileParametersStayDataAndServingGoesOn) {
  // SETTING has its parameter inside quotes, FIRST outside them. The short
  // hostile parameters fit a shared-memory slot whole.
  write_processes();
  write_file("qrxcoll.ctl",
             "cursor SETTING;\ndemand;\ninsert_where name = '![%parm0';\n"
             "INSERT INTO settings (name, value) VALUES (:name, :value);\n"
             "cursor FIRST;\ndemand;\ninsert_where length(name) = ![%parm0;\n"
             "INSERT INTO settings (name, value) VALUES (:name, :value);\nend;\n");
  start();
  struct Request {
    const char* args;
    const char* reply;  // the whole reply, or its start when `rows` is set
    bool rows;
    bool too_long_for_a_slot;  // qrxprobe refuses it over shared memory
  };
  const Request requests[] = {
      {"get SETTING \"x' UNION SELECT name, sql FROM sqlite_master --\"", "SETTING rows=0 length=0\n", false, true},
      {"get SETTING \"x' OR 'a'='a\"", "SETTING rows=0 length=0\n", false, false},
      {"get SETTING alpha", "SETTING rows=1 ", true, false},
      {"get FIRST \"5 UNION SELECT name, sql FROM sqlite_master\"", "FIRST rows=0 length=0\n", false, true},
      {"get FIRST \"5 OR 1=1\"", "FIRST rows=0 length=0\n", false, false},
      {"get FIRST 5", "FIRST rows=1 ", true, false},
  };
  const bool shared_memory = std::string(GetParam().use_shm) == "1";
  for (const Request& r : requests) {
    SCOPED_TRACE(r.args);
    const ProbeResult reply = probe(r.args);
    if (shared_memory && r.too_long_for_a_slot) {
      EXPECT_EQ(reply.status, 2) << reply.out;  // refused before it was sent
      continue;
    }
    ASSERT_EQ(reply.status, 0) << log_text();
    if (r.rows) {
      EXPECT_EQ(reply.out.rfind(r.reply, 0), 0u) << reply.out << log_text();
      EXPECT_NE(reply.out.find("alpha"), std::string::npos) << reply.out;
    } else {
      EXPECT_EQ(reply.out, r.reply) << log_text();
    }
  }
  EXPECT_EQ(count(log_text(), "Value of %CURSOR.%parm0 is not a number outside quotes, cursor FIRST\n"),
            shared_memory ? 1 : 2)
      << log_text();
}

TEST_P(RequestRunTest, CursorStatusHasOneRowPerCursor) {
  write_processes();
  write_file("qrxcoll.ctl", cursor("ONE", "demand;\n") + cursor("TWO", "demand;\n") +
                                cursor("THREE", "demand;\n") + "end;\n");
  start();
  const ProbeResult reply = probe("get C-STATUS");
  ASSERT_EQ(reply.status, 0) << log_text();
  int rows = -1, length = -1;
  ASSERT_EQ(std::sscanf(reply.out.c_str(), "C-STATUS rows=%d length=%d", &rows, &length), 2)
      << reply.out;
  EXPECT_EQ(length, 456);
  // The percent cursor, once built at start-up, is on the chain as well.
  EXPECT_GE(rows, 3);
  EXPECT_LE(rows, 4);
}

TEST_P(RequestRunTest, ProbeDecodesRowsAndStatusThroughTheControlFiles) {
  write_processes();
  write_file("qrxcoll.ctl", "cursor SIZED;\ndemand;\n"
                            "INSERT INTO settings (name, value) VALUES (:name^6, :value);\nend;\n");
  start();
  const ProbeResult rows = probe("--csv get SIZED");
  ASSERT_EQ(rows.status, 0) << log_text();
  EXPECT_EQ(rows.out, "name,value\nalpha,one\nbeta,two\n") << log_text();
  const ProbeResult status = probe("--csv status");
  ASSERT_EQ(status.status, 0) << log_text();
  EXPECT_NE(status.out.find("\nSIZED,,1,0,"), std::string::npos) << status.out;
  EXPECT_NE(status.out.find("\ncollector,local,1,"), std::string::npos) << status.out;
}

TEST_P(RequestRunTest, RetraceReadsTheTraceFileAgain) {
  write_processes();
  write_file("qrxcoll.ctl", cursor("PARAMS", "demand;\n") + "end;\n");
  write_file("qrxtrac.ctl", "trace PARAMS;\nend;\n");
  start();
  const char* banner = "-- Starting parse of TRACE.CTL";
  ASSERT_EQ(count(log_text(), banner), 1) << log_text();
  const ProbeResult reply = probe("retrace");
  ASSERT_EQ(reply.status, 0) << log_text();
  EXPECT_EQ(reply.out, "RETRACE rows=0 length=0\n");
  EXPECT_TRUE(wait_for(banner, 2)) << log_text();
  EXPECT_NE(log_text().find("CIR1850I"), std::string::npos);
  EXPECT_NE(log_text().find("Reseting trace.\n"), std::string::npos);
}

TEST_P(RequestRunTest, ShutdownEndsTheCollectorAndLeavesNoChannelBehind) {
  write_processes();
  write_file("qrxcoll.ctl", cursor("PARAMS", "demand;\n") + "end;\n");
  start();
  ASSERT_EQ(probe("get PARAMS").status, 0) << log_text();  // the channel is up
  const std::vector<int> segments = channel_ids(true), semaphores = channel_ids(false);
  const ProbeResult reply = probe("shutdown");
  EXPECT_EQ(reply.out, "SHUTDOWN rows=0 length=0\n");
  const int status = reap();
  ASSERT_TRUE(WIFEXITED(status)) << log_text();
  EXPECT_EQ(WEXITSTATUS(status), 0);
  const std::string log = log_text();
  EXPECT_NE(log.find("SHUTDOWN request recieved.\n"), std::string::npos) << log;
  EXPECT_NE(log.find("Quit request received."), std::string::npos) << log;
  EXPECT_NE(log.find("Collector ended\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("Error terminating RQS IPC environment"), std::string::npos) << log;
  for (int id : segments) EXPECT_TRUE(test::shm_gone(id)) << "segment " << id;
  for (int id : semaphores) EXPECT_TRUE(test::sem_gone(id)) << "semaphore set " << id;
  EXPECT_EQ(fifos(), std::vector<std::string>{});
}

TEST_P(RequestRunTest, SigtermWhileWaitingForRequestsLeavesNoChannelBehind) {
  write_processes();
  write_file("qrxcoll.ctl", cursor("PARAMS", "demand;\n") + "end;\n");
  start();
  ASSERT_EQ(probe("get PARAMS").status, 0) << log_text();
  const std::vector<int> segments = channel_ids(true), semaphores = channel_ids(false);
  ASSERT_EQ(kill(pid_, SIGTERM), 0);
  // The signal lands in the channel wait: ending must not wait for that call.
  const int status = reap();
  ASSERT_TRUE(WIFEXITED(status)) << log_text();
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(log_text().find("qrxcomm locked"), std::string::npos) << log_text();
  for (int id : segments) EXPECT_TRUE(test::shm_gone(id)) << "segment " << id;
  for (int id : semaphores) EXPECT_TRUE(test::sem_gone(id)) << "semaphore set " << id;
  EXPECT_EQ(fifos(), std::vector<std::string>{});
}

TEST_P(RequestRunTest, NrqsWritesRowsColumnByColumnIntoTheLog) {
  write_processes("process nrqs;\ntype local;\ninterval 1;\n");
  write_file("qrxcoll.ctl", cursor("PARAMS", "demand;\n") + "end;\n");
  start();
  ASSERT_TRUE(wait_for("Nrqs for PARAMS\n", 1)) << log_text();
  ASSERT_TRUE(wait_for(",n=value,", 2)) << log_text();
  const std::string log = log_text();
  EXPECT_NE(log.find("INSERT INTO settings"), std::string::npos) << log;
  EXPECT_NE(log.find("#=1,n=name,l=5,o=0,"), std::string::npos) << log;
  EXPECT_NE(log.find(":alpha\n"), std::string::npos) << log;
  EXPECT_NE(log.find(":two\n"), std::string::npos) << log;
}

INSTANTIATE_TEST_SUITE_P(BothTransports, RequestRunTest, ::testing::ValuesIn(kTransports),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qrx
