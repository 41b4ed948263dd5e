// The real collector serving the real probe over both transports: cursor
// rows, closed windows, unknown cursors, status, RETRACE, SHUTDOWN and the
// "nrqs" rows in the log. Each test has its own server id, directory and
// channel, so tests may run in parallel.

#include <gtest/gtest.h>

#include <signal.h>
#include <sqlite3.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/channel_fixture.h"
#include "support/doc_client.h"
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
  std::string err;  // message times taken out (see untimed)
};

// `text` with the time that every message line shows after its identifier
// ("COM0301E (120000) ...") taken out.
std::string untimed(const std::string& text) {
  static const std::regex time(R"(([A-Z]{3}[0-9]{4}[A-Z]) \([0-9]{6}\) )");
  return std::regex_replace(text, time, "$1 ");
}

// Every occurrence of `from` in `text` replaced by `to`.
std::string replaced(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
    text.replace(at, from.size(), to);
  return text;
}

// A test directory's entries with their contents (FIFOs and directories by
// their kind alone), to tell that nothing was made or changed.
std::map<std::string, std::string> listing(const fs::path& dir) {
  std::map<std::string, std::string> entries;
  for (const auto& entry : fs::directory_iterator(dir)) {
    std::string content = entry.is_fifo() ? "<fifo>" : entry.is_directory() ? "<dir>" : "";
    if (entry.is_regular_file()) {
      std::ifstream in(entry.path());
      content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    entries[entry.path().filename().string()] = content;
  }
  return entries;
}

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

  // Runs qrxprobe with `args` in the test directory, with the test's
  // settings and then `settings` (more VAR=value words); its standard
  // output, standard error and exit status. `where` replaces the command
  // that enters the test directory.
  ProbeResult probe(const std::string& args, const std::string& settings = "",
                    const std::string& where = "") {
    char err_path[] = "/tmp/qrxprobe-err-XXXXXX";  // outside the directory the tests watch
    const int err_fd = mkstemp(err_path);
    if (err_fd < 0) return {};
    close(err_fd);
    const std::string command =
        (where.empty() ? "cd '" + dir().string() + "'" : where) + " && " + environment() +
        settings + " '" QRX_BINARY_DIR "/qrxprobe' -rdbms " + server_ + " -dbtype qrx " + args +
        " 2>'" + err_path + "'";
    ProbeResult result;
    if (std::FILE* pipe = popen(command.c_str(), "r")) {
      char buffer[4096];
      for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) result.out.append(buffer, n);
      const int status = pclose(pipe);
      result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::ifstream in(err_path);
    result.err = untimed(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
    std::remove(err_path);
    return result;
  }

  // Asks with `args` until the exit status is no longer `was` (at most about
  // 20 seconds); the last reply.
  ProbeResult probe_until_changed(const std::string& args, int was) {
    ProbeResult reply = probe(args);
    for (int i = 0; i < 200 && reply.status == was; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      reply = probe(args);
    }
    return reply;
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

// The request segment holds one request: a probe asking for several cursors
// must read each reply before it sends the next request, or the collector's
// reply and the probe's next request wait for each other.
TEST_P(RequestRunTest, OneGetOfFourCursorsAnswersEachOfThem) {
  write_processes();
  std::string cursors;
  for (const char* name : {"FIRST", "SECOND", "THIRD", "FOURTH"}) cursors += cursor(name, "demand;\n");
  write_file("qrxcoll.ctl", cursors + "end;\n");
  start();
  const ProbeResult reply = probe("get FIRST,SECOND,THIRD,FOURTH", "WAIT_TIMEOUT=8");
  ASSERT_EQ(reply.status, 0) << reply.err << log_text();
  for (const char* name : {"FIRST", "SECOND", "THIRD", "FOURTH"})
    EXPECT_NE(reply.out.find(std::string(name) + " rows=2 length="), std::string::npos) << reply.out;
}

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
  ASSERT_EQ(unknown.status, 3) << log_text();  // a "NONE" reply
  EXPECT_EQ(unknown.out, "NOSUCH rows=0 length=0\n");
  const ProbeResult known = probe("get PARAMS");
  EXPECT_NE(known.out.find("PARAMS rows=2 "), std::string::npos) << known.out << log_text();
}

// Cursor clauses of a one-minute window twelve hours away, on every kind of day.
std::string closed_window() {
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
  return window;
}

TEST_P(RequestRunTest, CursorOutsideItsWindowIsAnsweredNone) {
  write_processes();
  write_file("qrxcoll.ctl", cursor("CLOSED", closed_window()) + "end;\n");
  start();
  const ProbeResult reply = probe("get CLOSED");
  ASSERT_EQ(reply.status, 3) << log_text();  // a "NONE" reply
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
  // Three "%parm" columns, two parameters: the third is emptied. A
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
  // Three "%parm" columns, two parameters: nothing of "beta" is left.
  const ProbeResult second = probe("get PICKED alpha nobody");
  EXPECT_NE(second.out.find("PICKED rows=1 "), std::string::npos) << second.out << log_text();
  EXPECT_NE(second.out.find("alpha"), std::string::npos) << second.out;
  EXPECT_EQ(second.out.find("beta"), std::string::npos) << second.out;
}

TEST_P(RequestRunTest, LaterRequestsSeeNoParameterOfAnEarlierOne) {
  write_processes();
  write_file("qrxcoll.ctl",
             "cursor PICKED;\ndemand;\n"
             "insert_select SELECT name, value FROM settings WHERE name = '[%parm0' "
             "OR (trim('[%parm0') = '' AND name = 'beta');\n"
             "INSERT INTO settings (name, value) VALUES (:name, :value);\nend;\n");
  start();
  const ProbeResult with = probe("get PICKED alpha");
  EXPECT_NE(with.out.find("alpha"), std::string::npos) << with.out << log_text();
  // Without a parameter, then with an empty one: "%parm0" is empty both times.
  for (const char* call : {"get PICKED", "get PICKED ''"}) {
    const ProbeResult later = probe(call);
    EXPECT_EQ(later.status, 0) << call << "\n" << later.out << log_text();
    EXPECT_NE(later.out.find("PICKED rows=1 "), std::string::npos) << call << "\n" << later.out;
    EXPECT_NE(later.out.find("beta"), std::string::npos) << call << "\n" << later.out;
    EXPECT_EQ(later.out.find("alpha"), std::string::npos) << call << "\n" << later.out;
  }
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
    int status;                // the exit status without rows
  };
  const Request requests[] = {
      {"get SETTING \"x' UNION SELECT name, sql FROM sqlite_master --\"", "SETTING rows=0 length=0\n", false, true, 3},
      {"get SETTING \"x' OR 'a'='a\"", "SETTING rows=0 length=0\n", false, false, 3},
      {"get SETTING alpha", "SETTING rows=1 ", true, false, 0},
      {"get FIRST \"5 UNION SELECT name, sql FROM sqlite_master\"", "FIRST rows=0 length=0\n", false, true, 6},
      {"get FIRST \"5 OR 1=1\"", "FIRST rows=0 length=0\n", false, false, 6},
      {"get FIRST 5", "FIRST rows=1 ", true, false, 0},
  };
  const bool shared_memory = std::string(GetParam().use_shm) == "1";
  for (const Request& r : requests) {
    SCOPED_TRACE(r.args);
    const ProbeResult reply = probe(r.args);
    if (shared_memory && r.too_long_for_a_slot) {
      EXPECT_EQ(reply.status, 2) << reply.out;  // refused before it was sent
      continue;
    }
    // 3: a "NONE" reply; 6: the refused parameter failed the run.
    ASSERT_EQ(reply.status, r.rows ? 0 : r.status) << reply.err << log_text();
    if (r.status == 6) {
      EXPECT_EQ(reply.err, "COM0306E The last run of FIRST failed: Value of %CURSOR.%parm0 is not a "
                           "number outside quotes\n");
    }
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
  // The percent cursor is the collector's own and has no status row.
  EXPECT_EQ(rows, 3);
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

// What qrxprobe answers, with its exit status and its standard error.
struct ExitCase {
  const char* args;
  int status;
  const char* out;  // the whole standard output, or its start when `out_start`
  bool out_start;
  const char* err;  // the whole standard error, times taken out; %D: the test directory
};

constexpr char kUsage[] =
    "; usage: qrxprobe [OPTION ...] get CURSOR [PARAM ...] | status | retrace | shutdown\n";

TEST_P(RequestRunTest, ExitStatusAndOneLineSayWhatHappened) {
  write_processes();
  write_file("qrxcoll.ctl", "cursor SIZED;\ndemand;\n"
                            "INSERT INTO settings (name, value) VALUES (:name^6, :value);\n" +
                                cursor("CLOSED", closed_window()) + "end;\n");
  start();
  const std::string rows = "name,value\nalpha,one\nbeta,two\n";
  const std::string usage = kUsage;
  const std::string none = "COM0302W The collector answered NONE for CLOSED: a cursor it does "
                           "not know, outside its window, held, or without rows\n";
  const std::string unknown = "COM0303W The collector answered NONE for NOSUCH: %D/qrxcoll.ctl "
                              "defines no such cursor\n";
  const std::string no_command = "COM0300E unknown command frobnicate" + usage;
  const std::string no_cursor = "COM0300E get needs a cursor name" + usage;
  const std::string bad_option = "COM0300E unknown option -bogus" + usage;
  const std::string no_value = "COM0300E option -tempdir needs a value" + usage;
  const std::string extra = "COM0300E retrace takes no further words (now)" + usage;
  const ExitCase cases[] = {
      // Options stand before or after the command and its cursor.
      {"--csv get SIZED", 0, rows.c_str(), false, ""},
      {"get --csv SIZED", 0, rows.c_str(), false, ""},
      {"get SIZED --csv", 0, rows.c_str(), false, ""},
      {"-- get SIZED", 0, "SIZED rows=2 length=", true, ""},
      {"status", 0, "C-STATUS rows=", true, ""},
      {"get CLOSED", 3, "CLOSED rows=0 length=0\n", false, none.c_str()},
      {"get NOSUCH", 3, "NOSUCH rows=0 length=0\n", false, unknown.c_str()},
      {"frobnicate", 2, "", false, no_command.c_str()},
      {"get", 2, "", false, no_cursor.c_str()},
      {"status -bogus", 2, "", false, bad_option.c_str()},
      {"status -tempdir", 2, "", false, no_value.c_str()},
      {"retrace now", 2, "", false, extra.c_str()},
      {"--help", 0, "usage: qrxprobe [OPTION ...] get CURSOR", true, ""},
      {"get --bogus --help", 0, "usage: qrxprobe [OPTION ...] get CURSOR", true, ""},
  };
  for (const ExitCase& c : cases) {
    SCOPED_TRACE(c.args);
    const ProbeResult reply = probe(c.args);
    EXPECT_EQ(reply.status, c.status) << reply.err << log_text();
    if (c.out_start)
      EXPECT_EQ(reply.out.rfind(c.out, 0), 0u) << reply.out;
    else
      EXPECT_EQ(reply.out, c.out);
    EXPECT_EQ(reply.err, replaced(c.err, "%D", dir().string()));
  }

  // Channel notices only with -v (the shared-memory channel has them).
  const ProbeResult verbose = probe("-v get SIZED");
  EXPECT_EQ(verbose.status, 0) << verbose.err;
  if (std::string(GetParam().use_shm) == "1") {
    EXPECT_NE(verbose.err.find("USH0035I Attached IPCID("), std::string::npos) << verbose.err;
  }

  // A collector that does not answer: the channel's own error, status 1.
  ASSERT_EQ(kill(pid_, SIGSTOP), 0);
  const ProbeResult silent = probe("get SIZED", "WAIT_TIMEOUT=1");
  kill(pid_, SIGCONT);
  EXPECT_EQ(silent.status, 1) << silent.out;
  EXPECT_EQ(silent.err, std::string(GetParam().use_shm) == "1"
                            ? "error 20: no answer from the collector\n"
                            : "error 1: no answer from the collector\n");
}

// Many clients at once, all for one on-demand cursor, each with its own
// parameter: four qrxprobe loops, a client written from docs/channel.md and
// one killed in the middle of its exchange. Every reply is its requester's.
TEST_P(RequestRunTest, ManyClientsAtOnceEachGetTheirOwnReply) {
  constexpr int kLoops = 4, kRequests = 50;
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((dir() / (server_ + ".db")).c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db,
                         "INSERT INTO settings VALUES ('k0', 'val-k0'), ('k1', 'val-k1'), "
                         "('k2', 'val-k2'), ('k3', 'val-k3'), ('x9', 'val-x9');",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  write_processes();
  write_file("qrxcoll.ctl", cursor("PICKED", "demand;\ninsert_select SELECT name, value FROM "
                                             "settings WHERE name = '[%parm0';\n") +
                                "end;\n");
  start();
  const bool shm = std::string(GetParam().use_shm) == "1";
  const std::string collector_fifo = (dir() / ("col_" + server_ + "_qrx_pipe")).string();

  std::vector<pid_t> loops;
  for (int k = 0; k < kLoops; ++k) {
    const std::string command =
        "cd '" + dir().string() + "' && for i in $(seq " + std::to_string(kRequests) +
        "); do " + environment() + "'" QRX_BINARY_DIR "/qrxprobe' -rdbms " + server_ +
        " -dbtype qrx get PICKED k" + std::to_string(k) + "; echo status=$?; done >loop" +
        std::to_string(k) + ".out 2>&1";
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    loops.push_back(pid);
  }
  // The independent client: its exit status names its first wrong reply.
  const pid_t independent = fork();
  ASSERT_GE(independent, 0);
  if (independent == 0) {
    for (int i = 0; i < kRequests; ++i) {
      test::DocReply reply;
      if (shm) {
        test::DocShmClient client((dir() / (server_ + "_qrx_host")).string());
        if (!client.ok()) _exit(10);
        reply = client.ask("PICKED", {"x9"}, 20);
      } else {
        test::DocPipeClient client(dir().string(), collector_fifo, "prb_independent_pipe");
        if (!client.ok()) _exit(11);
        reply = client.ask("PICKED", {"x9"}, 20);
      }
      if (!reply.ok) _exit(12);
      if (reply.rows != 1 || reply.data.find("val-x9") == std::string::npos) _exit(13);
    }
    _exit(0);
  }
  // The client killed once its request is posted, before it reads the reply.
  int posted[2];
  ASSERT_EQ(pipe(posted), 0);
  const pid_t killed = fork();
  ASSERT_GE(killed, 0);
  if (killed == 0) {
    bool sent = false;
    if (shm) {
      test::DocShmClient client((dir() / (server_ + "_qrx_host")).string());
      sent = client.ok() && client.post_only("PICKED", {"k3"}, 20);
    } else {
      test::DocPipeClient client(dir().string(), collector_fifo, "prb_killed_pipe");
      sent = client.ok() && client.post_only("PICKED", {"k3"});
      if (sent && write(posted[1], "p", 1) == 1) pause();  // keeps its FIFO open till killed
    }
    if (sent && write(posted[1], "p", 1) == 1) pause();
    _exit(1);
  }
  char c = 0;
  EXPECT_EQ(read(posted[0], &c, 1), 1);
  kill(killed, SIGKILL);
  waitpid(killed, nullptr, 0);
  close(posted[0]);
  close(posted[1]);
  fs::remove(dir() / "prb_killed_pipe");

  for (pid_t pid : loops) {
    int status = -1;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  int status = -1;
  waitpid(independent, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << "independent client: " << WEXITSTATUS(status) << log_text();
  for (int k = 0; k < kLoops; ++k) {
    std::ifstream in(dir() / ("loop" + std::to_string(k) + ".out"));
    const std::string out(std::istreambuf_iterator<char>(in), {});
    const std::string own = "val-k" + std::to_string(k);
    EXPECT_EQ(count(out, "status=0\n"), kRequests) << own << "\n" << out << log_text();
    EXPECT_EQ(count(out, "PICKED rows=1 "), kRequests) << own;
    EXPECT_EQ(count(out, own), kRequests) << own << "\n" << out;
    EXPECT_EQ(count(out, "val-"), kRequests) << own << ": another requester's rows\n" << out;
  }
  // Nothing is left behind: the channel serves the next client as ever,
  // with its semaphores at rest and no probe FIFO left.
  const ProbeResult after = probe("get PICKED k1");
  EXPECT_EQ(after.status, 0) << after.err << log_text();
  EXPECT_NE(after.out.find("val-k1"), std::string::npos) << after.out;
  if (shm) {
    const std::vector<int> sems = channel_ids(false);
    ASSERT_EQ(sems.size(), 2u);
    unsigned short request[3] = {9, 9, 9}, data[2] = {9, 9};
    ASSERT_EQ(semctl(sems[0], 0, GETALL, request), 0);
    ASSERT_EQ(semctl(sems[1], 0, GETALL, data), 0);
    EXPECT_EQ(std::vector<int>(request, request + 3), (std::vector<int>{1, 0, 1}));
    EXPECT_EQ(std::vector<int>(data, data + 2), (std::vector<int>{1, 0}));
  } else {
    EXPECT_EQ(fifos(), std::vector<std::string>{"col_" + server_ + "_qrx_pipe"});
  }
}

// A stopped collector: every client waiting at once fails within its own
// time-out with "no answer from the collector", none queued behind another's;
// once the collector goes on, the next client is served.
TEST_P(RequestRunTest, StalledCollectorFailsEveryWaitingClientWithNoAnswer) {
  constexpr int kClients = 3;
  write_processes();
  write_file("qrxcoll.ctl", cursor("PARAMS", "demand;\n") + "end;\n");
  start();
  ASSERT_EQ(kill(pid_, SIGSTOP), 0);
  std::string command = "cd '" + dir().string() + "' || exit 1;";
  for (int k = 0; k < kClients; ++k) {
    const std::string n = std::to_string(k);
    command += " (" + environment() + "WAIT_TIMEOUT=2 '" QRX_BINARY_DIR "/qrxprobe' -rdbms " +
               server_ + " -dbtype qrx get PARAMS >/dev/null 2>stalled" + n + ".err; echo $? >stalled" +
               n + ".status) &";
  }
  command += " wait";
  const int status = std::system(command.c_str());
  kill(pid_, SIGCONT);
  EXPECT_EQ(status, 0);
  const std::string expected = std::string(GetParam().use_shm) == "1"
                                   ? "error 20: no answer from the collector\n"
                                   : "error 1: no answer from the collector\n";
  for (int k = 0; k < kClients; ++k) {
    const std::string n = std::to_string(k);
    EXPECT_EQ(testing::file_text((dir() / ("stalled" + n + ".status")).string()), "1\n") << n;
    EXPECT_EQ(testing::file_text((dir() / ("stalled" + n + ".err")).string()), expected) << n;
  }
  const ProbeResult after = probe("get PARAMS");
  EXPECT_EQ(after.status, 0) << after.err << log_text();
  EXPECT_NE(after.out.find("PARAMS rows=2 "), std::string::npos) << after.out;
}

TEST_P(RequestRunTest, NoCollectorIsToldAtOnceAndNothingIsMade) {
  write_processes();
  write_file("qrxcoll.ctl", cursor("PARAMS", "demand;\n") + "end;\n");
  const std::string told = "COM0301E no collector is running for server " + server_ +
                           " (looked in " + dir().string() + ")\n";
  const std::string wait = "WAIT_TIMEOUT=2";  // a probe that waited would fail soon
  // Nothing there at all.
  const std::map<std::string, std::string> before = listing(dir());
  ProbeResult reply = probe("get PARAMS", wait);
  EXPECT_EQ(reply.status, 4);
  EXPECT_EQ(reply.out, "");
  EXPECT_EQ(reply.err, told);
  EXPECT_EQ(listing(dir()), before);

  // What an ended collector left: an id file naming ended processes, or
  // the collector's FIFO that nobody reads.
  const pid_t ended = fork();
  ASSERT_GE(ended, 0);
  if (ended == 0) _exit(0);
  waitpid(ended, nullptr, 0);
  if (std::string(GetParam().use_shm) == "1") {
    write_file(server_ + "_qrx_host", "-1 " + std::to_string(ended) + " -1 -1 -1 -1\n");
  } else {
    ASSERT_EQ(mkfifo((dir() / ("col_" + server_ + "_qrx_pipe")).c_str(), 0660), 0);
  }
  const std::map<std::string, std::string> left = listing(dir());
  reply = probe("status", wait);
  EXPECT_EQ(reply.status, 4);
  EXPECT_EQ(reply.out, "");
  EXPECT_EQ(reply.err, told);
  EXPECT_EQ(listing(dir()), left);
}

// The rows of a CSV table whose first column is `key`, by that column's value,
// each as its columns by header name.
std::map<std::string, std::map<std::string, std::string>> csv_rows(const std::string& text,
                                                                   const std::string& key) {
  std::map<std::string, std::map<std::string, std::string>> rows;
  std::vector<std::string> header;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::vector<std::string> fields;
    std::istringstream cells(line);
    for (std::string cell; std::getline(cells, cell, ',');) fields.push_back(cell);
    if (!fields.empty() && fields[0] == key) {
      header = fields;
      continue;
    }
    if (header.empty()) continue;
    std::map<std::string, std::string>& row = rows[fields.empty() ? "" : fields[0]];
    for (size_t i = 0; i < header.size(); ++i) row[header[i]] = i < fields.size() ? fields[i] : "";
  }
  return rows;
}

TEST_P(RequestRunTest, StatusTellsEachRunAndFailsWhenADistributorFailed) {
  write_processes();
  write_file("qrxcoll.ctl", cursor("TICKS", "interval 1;\nempty;\n") +
                                "cursor BROKEN;\ninterval 1;\n"
                                "insert_select SELECT name, value FROM missing;\n"
                                "INSERT INTO settings (name, value) VALUES (:name, :value);\n"
                                "end;\n");
  start();
  ASSERT_TRUE(wait_for("Interval collection failed for cursor BROKEN", 1)) << log_text();
  const ProbeResult reply = probe("--csv status");
  EXPECT_EQ(reply.status, 5) << reply.out;
  const std::regex told(
      "COM0304W Distributor collector failed at its last run \\([0-9]{4}/[0-9]{2}/[0-9]{2} "
      "[0-9]{2}:[0-9]{2}:[0-9]{2}\\)\n");
  EXPECT_TRUE(std::regex_match(reply.err, told)) << reply.err;

  const std::regex local_time("[0-9]{4}/[0-9]{2}/[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}");
  auto cursors = csv_rows(reply.out, "name");
  ASSERT_EQ(cursors.count("TICKS"), 1u) << reply.out;
  ASSERT_EQ(cursors.count("BROKEN"), 1u) << reply.out;
  std::map<std::string, std::string>& ticks = cursors["TICKS"];
  EXPECT_EQ(ticks["rows"], "2") << reply.out;
  EXPECT_EQ(ticks["stored_rows"], "2");
  EXPECT_TRUE(std::regex_match(ticks["elapsed"], std::regex("[0-9]+"))) << ticks["elapsed"];
  for (const char* time : {"last_time", "end_time", "window_open", "window_close"})
    EXPECT_TRUE(std::regex_match(ticks[time], local_time)) << time << ": " << ticks[time];
  std::map<std::string, std::string>& broken = cursors["BROKEN"];
  EXPECT_EQ(broken["rows"], "0");
  EXPECT_EQ(broken["end_time"], "") << "it never succeeded";
  EXPECT_NE(broken["result_code"], "0");

  auto distributors = csv_rows(reply.out, "distrib_name");
  ASSERT_EQ(distributors.count("collector"), 1u) << reply.out;
  EXPECT_EQ(distributors["collector"]["status"], "FAIL");
  for (const char* time : {"window_start", "window_end", "next_time", "last_run"}) {
    const std::string& value = distributors["collector"][time];
    EXPECT_TRUE(std::regex_match(value, local_time)) << time << ": " << value;
  }
}

TEST_P(RequestRunTest, ProbeFindsTheControlFilesAsTheCollectorDoesOrSaysWhereItLooked) {
  write_processes();
  write_file("qrxcoll.ctl", "cursor SIZED;\ndemand;\n"
                            "INSERT INTO settings (name, value) VALUES (:name^6, :value);\nend;\n");
  start();
  // No home given: the working directory is the collector's home, as it is
  // for the collector.
  const std::string no_home = "COLL_HOME= COLL_CTL_HOME=";
  const ProbeResult here = probe("--csv get SIZED", no_home);
  EXPECT_EQ(here.status, 0) << here.err;
  EXPECT_EQ(here.out, "name,value\nalpha,one\nbeta,two\n");
  EXPECT_EQ(here.err, "");
  // Elsewhere the rows come as printable text, and the probe says why.
  const ProbeResult elsewhere = probe("get SIZED", no_home, "cd /");
  EXPECT_EQ(elsewhere.status, 0) << elsewhere.err;
  EXPECT_EQ(elsewhere.out.rfind("SIZED rows=2 length=", 0), 0u) << elsewhere.out;
  EXPECT_EQ(elsewhere.err, "COM0305W No cursor file found (looked for it as /" + server_ +
                               "/qrxcoll.ctl, /" + server_ +
                               "_qrxcoll.ctl, /qrxcoll.ctl): rows are shown as printable text; "
                               "-logsdir or COLL_HOME names the collector's home\n");
  // Named with -logsdir, after the command as well.
  const ProbeResult named = probe("--csv get SIZED -logsdir " + dir().string(), no_home, "cd /");
  EXPECT_EQ(named.out, "name,value\nalpha,one\nbeta,two\n") << named.err;
}

TEST_P(RequestRunTest, GetAfterAFailedRunSaysSoWithTheDatabaseMessage) {
  write_processes();
  write_file("qrxcoll.ctl", "cursor BROKEN;\ninterval 60;\n"
                            "insert_select SELECT name, value FROM missing;\n"
                            "INSERT INTO settings (name, value) VALUES (:name, :value);\n" +
                                cursor("CLOSED", closed_window()) + "end;\n");
  start();
  // Until the first run ended the cursor has no rows and had no failure.
  const ProbeResult reply = probe_until_changed("get BROKEN", 3);
  EXPECT_EQ(reply.status, 6) << reply.err << log_text();
  EXPECT_EQ(reply.out, "BROKEN rows=0 length=0\n");
  EXPECT_EQ(reply.err, "COM0306E The last run of BROKEN failed: no such table: missing\n");
  // A cursor that did not fail keeps its own answer.
  const ProbeResult closed = probe("get CLOSED");
  EXPECT_EQ(closed.status, 3) << closed.err;
}

TEST_P(RequestRunTest, StoredRowsAreMarkedStaleWhileTheRunsFail) {
  write_processes();
  // Every run adds its rows; none are dropped while the runs fail.
  write_file("qrxcoll.ctl", "cursor TICKS;\ninterval 1;\n"
                            "INSERT INTO settings (name, value) VALUES (:name^6, :value^6);\nend;\n");
  start();
  const std::string rows = "name,value\nalpha,one\nbeta,two\n";
  const ProbeResult fresh = probe_until_changed("--csv get TICKS", 3);
  ASSERT_EQ(fresh.status, 0) << fresh.err << log_text();
  EXPECT_EQ(fresh.out.rfind(rows, 0), 0u) << fresh.out;
  EXPECT_EQ(fresh.err, "");

  // The database loses the table the cursor reads: every run fails from now on.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((dir() / (server_ + ".db")).c_str(), &db), SQLITE_OK);
  sqlite3_busy_timeout(db, 20000);
  ASSERT_EQ(sqlite3_exec(db, "DROP TABLE settings;", nullptr, nullptr, nullptr), SQLITE_OK)
      << sqlite3_errmsg(db);
  sqlite3_close(db);

  const ProbeResult stale = probe_until_changed("--csv get TICKS", 0);
  EXPECT_EQ(stale.status, 7) << stale.err << log_text();
  EXPECT_EQ(stale.out.rfind(rows, 0), 0u) << stale.out;
  const std::regex told(
      "COM0307W The rows of TICKS are stale: its last run failed \\(no such table: settings\\); "
      "they are from its last successful run, ended ([0-9]{4}/[0-9]{2}/[0-9]{2} "
      "[0-9]{2}:[0-9]{2}:[0-9]{2})\n");
  std::smatch ended;
  ASSERT_TRUE(std::regex_match(stale.err, ended, told)) << stale.err;

  const ProbeResult json = probe("--json get TICKS");
  EXPECT_EQ(json.status, 7) << json.err;
  EXPECT_EQ(json.out.rfind("{\"cursor\":\"TICKS\",\"rows\":[{\"name\":\"alpha\",\"value\":\"one\"},"
                           "{\"name\":\"beta\",\"value\":\"two\"}",
                           0),
            0u)
      << json.out;
  EXPECT_TRUE(json.out.ends_with("}],\"stale\":true,\"last_success\":\"" + ended[1].str() + "\"}\n"))
      << json.out;
}

TEST_P(RequestRunTest, StatusTellsTheLastRunNotTheLastRequestAndNoPercentCursor) {
  // One collection pass at start-up; requests are served every second.
  write_file("qrxproc.ctl", "process collector;\ntype local;\nlogon_id demo;\ninterval 3600;\n"
                            "process rqs;\ntype local;\ninterval 1;\nend;\n");
  write_file("qrxcoll.ctl", cursor("ONCE", "interval 3600;\n") + "end;\n");
  start();
  ASSERT_EQ(probe_until_changed("get ONCE", 3).status, 0) << log_text();
  const ProbeResult before = probe("--csv status");
  ASSERT_EQ(before.status, 0) << before.err;
  const std::string run = csv_rows(before.out, "name")["ONCE"]["last_time"];
  ASSERT_NE(run, "") << before.out;
  EXPECT_EQ(before.out.find("%CURSOR"), std::string::npos) << before.out;

  // A request in a later second than the run leaves the run's time alone.
  const std::time_t asked = std::time(nullptr);
  while (std::time(nullptr) == asked) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_EQ(probe("get ONCE").status, 0);
  const ProbeResult after = probe("--csv status");
  EXPECT_EQ(csv_rows(after.out, "name")["ONCE"]["last_time"], run) << after.out;
}

INSTANTIATE_TEST_SUITE_P(BothTransports, RequestRunTest, ::testing::ValuesIn(kTransports),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qrx
