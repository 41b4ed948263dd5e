// End to end: the collector runs on the control files of examples/postgresql
// against the private PostgreSQL server that scripts/test starts
// (scripts/pg-start); qrxprobe asks it for cursors and the values are checked
// against what psql reports. Skipped when QRX_TEST_ODBC is not set.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/collections.h"
#include "support/collector_process.h"
#include "support/log_capture.h"

namespace qrx {
namespace {

namespace fs = std::filesystem;

std::string env_or_empty(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// In a child: becomes `argv` with exactly the environment `env`.
[[noreturn]] void exec_program(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
  std::vector<char*> args, vars;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  for (const std::string& v : env) vars.push_back(const_cast<char*>(v.c_str()));
  args.push_back(nullptr);
  vars.push_back(nullptr);
  execve(args[0], args.data(), vars.data());
  _exit(127);
}

// Runs `argv` with exactly the environment `env`, in `dir`; returns its exit
// status (-1 when it did not exit) and, when `output` is given, its standard
// output.
int run_program(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                const std::string& dir, std::string* output = nullptr) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    dup2(fds[1], STDOUT_FILENO);
    close(fds[0]);
    close(fds[1]);
    if (chdir(dir.c_str()) != 0) _exit(126);
    exec_program(argv, env);
  }
  close(fds[1]);
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) text.append(buffer, n);
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (output) *output = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<std::string> words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> out;
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

// A text as qrxprobe shows it: bytes outside printable ASCII become ".".
std::string shown(std::string value) {
  for (char& c : value)
    if (c < 0x20 || c > 0x7e) c = '.';
  return value;
}

// One CSV line split into its fields (quoted fields may hold commas and
// doubled quotes).
std::vector<std::string> csv_fields(const std::string& line) {
  std::vector<std::string> fields(1);
  bool quoted = false;
  for (size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quoted && c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
      fields.back() += '"';
      ++i;
    } else if (c == '"') {
      quoted = !quoted;
    } else if (c == ',' && !quoted) {
      fields.emplace_back();
    } else {
      fields.back() += c;
    }
  }
  for (std::string& f : fields) {
    const size_t first = f.find_first_not_of(' ');
    f = first == std::string::npos ? "" : f.substr(first, f.find_last_not_of(' ') - first + 1);
  }
  return fields;
}

using Row = std::map<std::string, std::string>;

// One cursor's reply as `qrxprobe --csv` prints it: a header of column
// names, then one line a row.
struct Reply {
  bool answered = false;  // the probe got a reply
  std::vector<std::string> header;
  std::vector<Row> rows;
  std::string raw;
};

Reply parse_reply(int status, const std::string& text) {
  Reply reply;
  reply.raw = text;
  reply.answered = status == 0;
  std::istringstream in(text);
  std::string line;
  if (!reply.answered || !std::getline(in, line)) return reply;
  reply.header = csv_fields(line);
  while (std::getline(in, line)) {
    const std::vector<std::string> fields = csv_fields(line);
    Row row;
    for (size_t i = 0; i < fields.size() && i < reply.header.size(); ++i)
      row[reply.header[i]] = fields[i];
    reply.rows.push_back(row);
  }
  return reply;
}

// One qrxcoll process on a copy of the example control files in a private
// directory, logged on to the test server's data source; ended through its
// exit path (which removes its channel) and removed at the end of its life.
class ExampleCollector {
 public:
  ExampleCollector() {
    for (const auto& entry : fs::directory_iterator(QRX_SOURCE_DIR "/examples/postgresql"))
      if (entry.path().extension() == ".ctl")
        fs::copy_file(entry.path(), fs::path(dir_.path()) / entry.path().filename());
  }
  ~ExampleCollector() {
    if (pid_ > 0) testing::end_collector(pid_);
  }
  ExampleCollector(const ExampleCollector&) = delete;
  ExampleCollector& operator=(const ExampleCollector&) = delete;

  // Replaces `from` by `to` in the copy of control file `name`.
  void edit(const std::string& name, const std::string& from, const std::string& to) {
    const std::string path = dir_.file(name);
    std::string text = testing::file_text(path);
    const size_t at = text.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    text.replace(at, from.size(), to);
    std::ofstream(path, std::ios::trunc) << text;
  }

  // Replaces every `from` by `to` in the copy of control file `name`.
  void edit_all(const std::string& name, const std::string& from, const std::string& to) {
    const std::string path = dir_.file(name);
    std::string text = testing::file_text(path);
    std::size_t replaced = 0;
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
      text.replace(at, from.size(), to);
      ++replaced;
    }
    ASSERT_GT(replaced, 0u) << from;
    std::ofstream(path, std::ios::trunc) << text;
  }

  void start() {
    std::vector<std::string> env = common_env();
    for (const char* name : {"ODBCSYSINI", "ODBCINI"}) env.push_back(name + ("=" + env_or_empty(name)));
    env.push_back("COLL_OUT=" + dir_.path());
    env.push_back("COLL_DB_DRIVER=odbc");
    env.push_back("COLL_LOGON=" + env_or_empty("QRX_TEST_ODBC_USER"));
    env.push_back("COLL_PASSWORD=" + env_or_empty("QRX_TEST_ODBC_PASSWORD"));
    env.push_back("COLL_WAIT_TIMEOUT=1");
    env.push_back("COLL_SHUTDOWN_WAIT=1");
    // The fetch exit's program, and the server it checks.
    env.push_back("COLL_BINPATH=" QRX_SOURCE_DIR "/examples/postgresql/exits");
    std::string port = testing::file_text(env_or_empty("QRX_PG_DIR") + "/port");
    while (!port.empty() && (port.back() == '\n' || port.back() == ' ')) port.pop_back();
    env.push_back("PGHOST=" + env_or_empty("QRX_PG_DIR") + "/sock");
    env.push_back("PGPORT=" + port);
    pid_ = fork();
    if (pid_ != 0) return;
    const std::string out = dir_.file("qrxcoll.stderr");
    std::freopen(out.c_str(), "w", stderr);
    std::freopen("/dev/null", "w", stdout);
    const std::string program = QRX_BINARY_DIR "/qrxcoll";
    std::vector<char*> vars;
    for (const std::string& v : env) vars.push_back(const_cast<char*>(v.c_str()));
    vars.push_back(nullptr);
    if (chdir(dir_.path().c_str()) == 0)
      execle(program.c_str(), program.c_str(), "-dbtype", "qrx", static_cast<char*>(nullptr),
             vars.data());
    _exit(127);
  }

  // qrxprobe with `args` after its options.
  Reply probe(const std::vector<std::string>& args, int wait_seconds = 5) const {
    std::vector<std::string> argv = {QRX_BINARY_DIR "/qrxprobe", "-dbtype", "qrx", "--csv"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> env = common_env();
    env.push_back("WAIT_TIMEOUT=" + std::to_string(wait_seconds));
    std::string out;
    const int status = run_program(argv, env, dir_.path(), &out);
    return parse_reply(status, out);
  }
  Reply get(const std::string& cursor, const std::vector<std::string>& params = {}) const {
    std::vector<std::string> args = {"get", cursor};
    args.insert(args.end(), params.begin(), params.end());
    return probe(args);
  }

  // Asks for `cursor` until it has rows, for at most about `seconds`.
  Reply wait_for_rows(const std::string& cursor, int seconds = 40) const {
    Reply reply;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end && running()) {
      reply = probe({"get", cursor}, 2);
      if (!reply.rows.empty()) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    return reply;
  }

  // Waits for the process to end, for at most about `seconds`; its exit
  // status, or -1 when it is still running or did not exit.
  int wait_exit(int seconds) {
    for (int i = 0; i < seconds * 10 && pid_ > 0; ++i) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return -1;
  }

  bool running() const { return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0; }

  std::string log() const {
    for (const auto& entry : fs::directory_iterator(dir_.path()))
      if (entry.path().string().ends_with("col.out")) return testing::file_text(entry.path());
    return {};
  }
  std::string file(const std::string& name) const { return dir_.file(name); }

  // The System V ids the collector recorded for its channel.
  std::vector<int> channel_ids() const {
    for (const auto& entry : fs::directory_iterator(dir_.path())) {
      const std::string name = entry.path().filename().string();
      if (!name.starts_with(server() + "_qrx_") || name.ends_with("-lk")) continue;
      std::ifstream in(entry.path());
      std::vector<int> numbers;
      for (int n; in >> n;) numbers.push_back(n);
      if (numbers.size() == 6) return {numbers.begin() + 2, numbers.end()};
    }
    return {};
  }

 private:
  static std::string server() { return env_or_empty("QRX_TEST_ODBC"); }
  // What the collector and qrxprobe share: the server, the user, the
  // control files (the probe decodes rows through the cursor definitions)
  // and the directory of the channel's id file and FIFOs.
  std::vector<std::string> common_env() const {
    std::vector<std::string> env = {"PATH=/usr/bin:/bin", "HOME=" + dir_.path(), "USER=tester",
                                    "COLL_SERVERID=" + server(), "COLL_HOME=" + dir_.path(),
                                    "COLL_CTL_HOME=" + dir_.path(), "COLL_PREFIX=" + dir_.path(),
                                    "COLL_PREFIX_LOCAL=" + dir_.path()};
    for (std::string& entry : testing::sanitizer_environment()) env.push_back(std::move(entry));
    return env;
  }

  testing::TempDir dir_;
  pid_t pid_ = -1;
};

// psql's answer to `sql` on the data source's database (scripts/pg-start's
// data source connects to "postgres"), without its line end.
std::string psql(const std::string& sql) {
  const std::string dir = env_or_empty("QRX_PG_DIR");
  std::string port = testing::file_text(dir + "/port");
  while (!port.empty() && (port.back() == '\n' || port.back() == ' ')) port.pop_back();
  std::string out;
  run_program({"/usr/bin/psql", "-h", dir + "/sock", "-p", port, "-U",
               env_or_empty("QRX_TEST_ODBC_USER"), "-d", "postgres", "-AtX", "-c", sql},
              {"PATH=/usr/bin:/bin", "PGPASSWORD=" + env_or_empty("QRX_TEST_ODBC_PASSWORD")},
              "/", &out);
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

bool odbc_server_given() { return !env_or_empty("QRX_TEST_ODBC").empty(); }

// One collector for the whole suite: its first collection takes a logon and
// seven queries, which the tests then read in turn.
class PostgresExampleTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!odbc_server_given()) return;
    collector_ = new ExampleCollector;
    collector_->start();
    first_ = new Reply(collector_->wait_for_rows("PGDB"));
  }
  static void TearDownTestSuite() {
    delete first_;
    delete collector_;
    first_ = nullptr;
    collector_ = nullptr;
  }
  void SetUp() override {
    if (!odbc_server_given()) GTEST_SKIP() << "QRX_TEST_ODBC is not set (scripts/pg-start)";
    ASSERT_TRUE(collector_->running()) << collector_->log();
  }
  // Tests of interval cursors read what the first collection pass left.
  static void expect_first_collection() {
    ASSERT_FALSE(first_->rows.empty()) << "no rows from the first collection\n"
                                       << first_->raw << collector_->log();
  }
  static const ExampleCollector& collector() { return *collector_; }

  static ExampleCollector* collector_;
  static Reply* first_;
};
ExampleCollector* PostgresExampleTest::collector_ = nullptr;
Reply* PostgresExampleTest::first_ = nullptr;

TEST_F(PostgresExampleTest, ConnectedDatabaseIsTheOnePsqlReports) {
  ASSERT_NO_FATAL_FAILURE(expect_first_collection());
  const Reply reply = collector().get("PGDB");
  ASSERT_EQ(reply.rows.size(), 1u) << reply.raw;
  const Row& row = reply.rows[0];
  EXPECT_EQ(row.at("oid"), psql("SELECT oid FROM pg_database WHERE datname = current_database()"));
  EXPECT_EQ(row.at("datname"), shown(psql("SELECT current_database()")));
  EXPECT_EQ(row.at("encoding"), shown(psql("SELECT pg_encoding_to_char(encoding) FROM pg_database "
                                           "WHERE datname = current_database()")));
  EXPECT_EQ(row.at("server_version"),
            shown(psql("SELECT CAST(current_setting('server_version') AS varchar(32))")));
}

// A fetch exit runs pg_isready against the server the collector serves.
TEST_F(PostgresExampleTest, ReadinessExitReportsTheServerAccepting) {
  ASSERT_NO_FATAL_FAILURE(expect_first_collection());
  const Reply reply = collector().wait_for_rows("PGREADY");
  ASSERT_EQ(reply.rows.size(), 1u) << reply.raw;
  EXPECT_EQ(reply.rows[0].at("pgstate"), shown("accepting"));
  EXPECT_EQ(reply.rows[0].at("pgrc"), "0");
}

// The statistics select WHERE datid = [PGDB.oid: one row, of that database.
TEST_F(PostgresExampleTest, DatabaseStatisticsAreSelectedByTheOidOfAnotherCursor) {
  ASSERT_NO_FATAL_FAILURE(expect_first_collection());
  const Reply reply = collector().get("PGSTAT");
  ASSERT_EQ(reply.rows.size(), 1u) << reply.raw << collector().log();
  const Row& row = reply.rows[0];
  EXPECT_EQ(row.at("datname"), shown(psql("SELECT current_database()")));
  EXPECT_GE(std::stoi(row.at("numbackends")), 1) << "the collector's own session";
  // Counters only grow: what the collector read is at most what psql reads later.
  EXPECT_LE(std::stoll(row.at("xact_commit")),
            std::stoll(psql("SELECT xact_commit FROM pg_stat_database "
                            "WHERE datname = current_database()")));
}

// HITPCT is computed from two counters of the same row by a math statement.
TEST_F(PostgresExampleTest, HitRatioIsComputedFromTheRowsCounters) {
  ASSERT_NO_FATAL_FAILURE(expect_first_collection());
  const Reply reply = collector().get("PGSTAT");
  ASSERT_EQ(reply.rows.size(), 1u) << reply.raw;
  const Row& row = reply.rows[0];
  const double hit = std::stod(row.at("blks_hit")), read = std::stod(row.at("blks_read"));
  const double want = hit + read > 0 ? hit * 100 / (hit + read) : 0;
  EXPECT_NEAR(std::stod(row.at("HITPCT")), want, 0.006) << reply.raw;
}

// PGCKPT's SQL differs by server version; the IF section on PGINFO.PGMAJOR
// (loaded from PGDB) picks the one of the private server.
TEST_F(PostgresExampleTest, CheckpointCursorReadsTheViewOfTheServersVersion) {
  ASSERT_NO_FATAL_FAILURE(expect_first_collection());
  const int major = std::stoi(psql("SELECT current_setting('server_version_num')")) / 10000;
  Reply reply = collector().wait_for_rows("PGCKPT");
  // From PostgreSQL 17 on the first collection still had the start-up
  // value 0; the version changes with the next one.
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(70);
  while (major >= 17 && std::chrono::steady_clock::now() < end &&
         (reply.rows.empty() || reply.rows[0].at("source") != "checkpointer")) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    reply = collector().get("PGCKPT");
  }
  ASSERT_EQ(reply.rows.size(), 1u) << reply.raw << collector().log();
  EXPECT_EQ(reply.rows[0].at("source"), major >= 17 ? "checkpointer" : "bgwriter");
  EXPECT_GE(std::stoll(reply.rows[0].at("timed")), 0);
}

TEST_F(PostgresExampleTest, SessionCountLiesWithinTheConnectionLimit) {
  ASSERT_NO_FATAL_FAILURE(expect_first_collection());
  const Reply reply = collector().get("PGCONN");
  ASSERT_EQ(reply.rows.size(), 1u) << reply.raw;
  const Row& row = reply.rows[0];
  const int sessions = std::stoi(row.at("sessions")), active = std::stoi(row.at("active"));
  EXPECT_EQ(row.at("max_connections"), psql("SHOW max_connections"));
  EXPECT_GE(sessions, 1) << "the collector's own session counts";
  EXPECT_LE(sessions, std::stoi(row.at("max_connections")));
  EXPECT_GE(active, 1) << "the collector's session is active while it counts";
  EXPECT_LE(active, sessions);
}

TEST_F(PostgresExampleTest, SessionsAndLocksOfTheDatabaseIncludeTheCollectorsOwn) {
  ASSERT_NO_FATAL_FAILURE(expect_first_collection());
  const Reply sessions = collector().get("PGSESS");
  const std::string user = env_or_empty("QRX_TEST_ODBC_USER");
  int own = 0;
  for (const Row& row : sessions.rows)
    own += row.at("usename") == shown(user) && std::stoi(row.at("pid")) > 0;
  EXPECT_GE(own, 1) << sessions.raw;

  // Reading pg_locks takes a share lock on it in this database.
  const Reply locks = collector().get("PGLOCKS");
  bool found = false;
  for (const Row& row : locks.rows)
    found = found || (row.at("locktype") == "relation" && row.at("mode") == "AccessShareLock" &&
                      row.at("granted") == "Y" && std::stoi(row.at("locks")) >= 1);
  EXPECT_TRUE(found) << locks.raw;
}

// The on-demand cursor selects WHERE name = '![%parm0': the request's first
// parameter names the setting.
TEST_F(PostgresExampleTest, OnDemandSettingIsTheOneTheRequestNames) {
  for (const std::string name : {"max_connections", "work_mem", "shared_buffers"}) {
    SCOPED_TRACE(name);
    const Reply reply = collector().get("PGSET", {name});
    ASSERT_EQ(reply.rows.size(), 1u) << reply.raw << collector().log();
    const Row& row = reply.rows[0];
    EXPECT_EQ(row.at("name"), shown(name));
    EXPECT_EQ(row.at("setting"),
              shown(psql("SELECT setting FROM pg_settings WHERE name = '" + name + "'")));
    EXPECT_EQ(row.at("unit"),
              shown(psql("SELECT coalesce(unit, '') FROM pg_settings WHERE name = '" + name + "'")));
  }
  const Reply none = collector().get("PGSET", {"no_such_setting"});
  EXPECT_TRUE(none.rows.empty()) << none.raw;
}

TEST_F(PostgresExampleTest, HistoryFileHoldsTheCollectedStatistics) {
  ASSERT_NO_FATAL_FAILURE(expect_first_collection());
  const std::string path = collector().file("PGSTAT.HST");
  std::string text;
  for (int i = 0; i < 300 && text.empty(); ++i) {
    text = testing::file_text(path);
    if (text.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_FALSE(text.empty()) << "no " << path;
  // The historian's now text, then the row as stored: datname first.
  const std::string record = text.substr(0, text.find('\n'));
  ASSERT_GT(record.size(), 14u);
  EXPECT_EQ(record.find_first_not_of("0123456789"), 14u) << record;
  const std::vector<std::string> stored = words(record.substr(14));
  ASSERT_FALSE(stored.empty()) << record;
  EXPECT_EQ(stored[0], psql("SELECT current_database()"));
}

// PGDBSESS selects WHERE datname IN [PGBUSYDB.NAMES: one row per database
// of that list, this one among them.
TEST_F(PostgresExampleTest, PerDatabaseSessionsFollowTheBusyDatabasesList) {
  ASSERT_NO_FATAL_FAILURE(expect_first_collection());
  const Reply busy = collector().get("PGBUSYDB");
  const Reply per_db = collector().get("PGDBSESS");
  ASSERT_FALSE(busy.rows.empty()) << busy.raw << collector().log();
  std::vector<std::string> listed, selected;
  for (const Row& row : busy.rows) listed.push_back(row.at("datname"));
  for (const Row& row : per_db.rows) selected.push_back(row.at("datname"));
  EXPECT_EQ(selected, listed) << per_db.raw << collector().log();
  const std::string own = shown(psql("SELECT current_database()"));
  bool found = false;
  for (const Row& row : per_db.rows) {
    if (row.at("datname") != own) continue;
    found = true;
    EXPECT_GE(std::stoi(row.at("sessions")), 1) << "the collector's own session";
    EXPECT_GE(std::stoi(row.at("longest_xact")), 0);
  }
  EXPECT_TRUE(found) << per_db.raw;
  EXPECT_EQ(collector().log().find("cmg3220"), std::string::npos) << "held on its in-list";
}

// The evaluator of qrxeval.ctl on a threshold every session passes: it
// writes PGSESS rows, column by column, into the message log.
TEST(PostgresExampleEvaluatorTest, EvaluatorWritesTheSessionsPastTheThreshold) {
  if (!odbc_server_given()) GTEST_SKIP() << "QRX_TEST_ODBC is not set (scripts/pg-start)";
  ExampleCollector collector;
  ASSERT_NO_FATAL_FAILURE(collector.edit("qrxeval.ctl", "operator >;\n  value 300;", "operator >=;\n  value 0;"));
  collector.start();
  bool written = false;
  for (int i = 0; i < 400 && !written && collector.running(); ++i) {
    written = collector.log().find("Evaluation LONGXACT (1) true for cursor PGSESS") != std::string::npos;
    if (!written) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  const std::string log = collector.log();
  EXPECT_TRUE(written) << log;
  EXPECT_NE(log.find(",n=xact_seconds,"), std::string::npos) << log;
}

// A collector of its own: the shutdown request ends it cleanly and its
// channel's segments and semaphore sets are gone.
TEST(PostgresExampleShutdownTest, ShutdownRequestEndsTheCollectorAndFreesItsChannel) {
  if (!odbc_server_given()) GTEST_SKIP() << "QRX_TEST_ODBC is not set (scripts/pg-start)";
  ExampleCollector collector;
  collector.start();
  const Reply first = collector.wait_for_rows("PGDB");
  ASSERT_FALSE(first.rows.empty()) << first.raw << collector.log();
  const std::vector<int> ids = collector.channel_ids();
  ASSERT_EQ(ids.size(), 4u);

  collector.probe({"shutdown"});
  EXPECT_EQ(collector.wait_exit(30), 0) << collector.log();
  const std::string log = collector.log();
  EXPECT_NE(log.find("SHUTDOWN request recieved."), std::string::npos) << log;
  shmid_ds segment{};
  EXPECT_LT(shmctl(ids[0], IPC_STAT, &segment), 0) << "request segment left";
  EXPECT_LT(shmctl(ids[2], IPC_STAT, &segment), 0) << "data segment left";
  EXPECT_LT(semctl(ids[1], 0, GETVAL), 0) << "request semaphores left";
  EXPECT_LT(semctl(ids[3], 0, GETVAL), 0) << "data semaphores left";
}

// ---- Steady state: sessions the test opens and ends between collections

// A session that holds a transaction open in `database` under
// `application` (psql running pg_sleep), ended by the server when the
// helper goes.
class HeldSession {
 public:
  HeldSession(const std::string& database, const std::string& application) : application_(application) {
    const std::string dir = env_or_empty("QRX_PG_DIR");
    std::string port = testing::file_text(dir + "/port");
    while (!port.empty() && (port.back() == '\n' || port.back() == ' ')) port.pop_back();
    const std::vector<std::string> argv = {"/usr/bin/psql", "-h", dir + "/sock", "-p", port, "-U",
                                           env_or_empty("QRX_TEST_ODBC_USER"), "-d", database, "-AtXq",
                                           "-c", "BEGIN; SELECT pg_sleep(600)"};
    const std::vector<std::string> env = {"PATH=/usr/bin:/bin", "PGAPPNAME=" + application,
                                          "PGPASSWORD=" + env_or_empty("QRX_TEST_ODBC_PASSWORD")};
    pid_ = fork();
    if (pid_ != 0) return;
    std::freopen("/dev/null", "w", stdout);
    std::freopen("/dev/null", "w", stderr);
    exec_program(argv, env);
  }
  ~HeldSession() { end(); }
  HeldSession(const HeldSession&) = delete;
  HeldSession& operator=(const HeldSession&) = delete;

  // The server's process id of the session once it is in its transaction
  // in the database psql() reads (empty until then, or for another database).
  std::string backend() const {
    return psql("SELECT pid FROM pg_stat_activity WHERE application_name = '" + application_ +
                "' AND datname = current_database() AND state = 'active' AND xact_start IS NOT NULL");
  }
  // Ends the session on the server and waits for psql.
  void end() {
    if (pid_ <= 0) return;
    psql("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE application_name = '" +
         application_ + "'");
    if (!testing::wait_until([&] { return waitpid(pid_, nullptr, WNOHANG) == pid_; })) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
  }

 private:
  std::string application_;
  pid_t pid_ = -1;
};

// The example collecting every 5 seconds (its cursors and its distributors
// collect every 30 seconds as shipped) with the long-transaction threshold
// at 3 seconds. Each stage: the server's sessions as the test left them,
// two collections after the change (a version is chosen from the rows of
// the collection before), every derived value of the second against what
// the test computes from the rows and from psql.
TEST(PostgresExampleSteadyStateTest, EveryCollectionDerivesItsValuesFromWhatItRead) {
  if (!odbc_server_given()) GTEST_SKIP() << "QRX_TEST_ODBC is not set (scripts/pg-start)";
  const std::string tag = std::to_string(getpid());
  const std::string other_db = "qrxsteady" + tag, application = "qrx-steady-" + tag;
  psql("DROP DATABASE IF EXISTS " + other_db);
  psql("CREATE DATABASE " + other_db);
  ASSERT_EQ(psql("SELECT count(*) FROM pg_database WHERE datname = '" + other_db + "'"), "1");
  struct DropDatabase {
    std::string name;
    ~DropDatabase() { psql("DROP DATABASE IF EXISTS " + name + " WITH (FORCE)"); }
  } drop{other_db};

  ExampleCollector collector;
  ASSERT_NO_FATAL_FAILURE(collector.edit_all("qrxcoll.ctl", "interval 30;", "interval 5;"));
  ASSERT_NO_FATAL_FAILURE(collector.edit_all("qrxproc.ctl", "interval 30;", "interval 5;"));
  ASSERT_NO_FATAL_FAILURE(collector.edit("qrxeval.ctl", "value 300;", "value 3;"));
  testing::CollectionWaiter waiter([&] { return collector.probe({"status"}).raw; },
                                   {"PGSTAT", "PGCKPT", "PGCONN", "PGSESS", "PGBUSYDB", "PGDBSESS",
                                    "PGLOCKS", "PGREADY"});
  const std::string own = psql("SELECT current_database()");
  const int major = std::stoi(psql("SELECT current_setting('server_version_num')")) / 10000;
  std::unique_ptr<HeldSession> here, there;
  std::string held_pid;

  for (int stage = 1; stage <= 3; ++stage) {
    SCOPED_TRACE("stage " + std::to_string(stage));
    if (stage == 2) {
      // A transaction open here (the evaluator's) and a session in another database.
      here = std::make_unique<HeldSession>(own, application);
      there = std::make_unique<HeldSession>(other_db, application);
      ASSERT_TRUE(testing::wait_until([&] { return !(held_pid = here->backend()).empty(); }));
      ASSERT_TRUE(testing::wait_until([&] {
        return psql("SELECT count(*) FROM pg_stat_activity WHERE datname = '" + other_db +
                    "' AND state = 'active'") == "1";
      }));
    } else if (stage == 3) {
      here->end();
      there->end();
    }
    waiter.mark();
    if (stage == 1) collector.start();
    ASSERT_TRUE(waiter.next()) << waiter.last_status() << collector.log();
    waiter.mark();
    ASSERT_TRUE(waiter.next()) << waiter.last_status() << collector.log();

    // The load into the virtual cursor, and the version it chooses.
    const Reply info = collector.get("PGINFO");
    ASSERT_EQ(info.rows.size(), 1u) << info.raw;
    EXPECT_EQ(info.rows[0].begin()->second, std::to_string(major)) << info.raw;
    const Reply ckpt = collector.get("PGCKPT");
    ASSERT_EQ(ckpt.rows.size(), 1u) << ckpt.raw;
    EXPECT_EQ(ckpt.rows[0].at("source"), major >= 17 ? "checkpointer" : "bgwriter");
    // The statistics of the database PGDB names, and the hit ratio of the row.
    const Reply stat = collector.get("PGSTAT");
    ASSERT_EQ(stat.rows.size(), 1u) << stat.raw;
    EXPECT_EQ(stat.rows[0].at("datname"), shown(own));
    const double hit = std::stod(stat.rows[0].at("blks_hit")), read = std::stod(stat.rows[0].at("blks_read"));
    const double ratio = hit + read > 0 ? std::floor(hit * 10000 / (hit + read) + 0.5) / 100 : 0;
    EXPECT_NEAR(std::stod(stat.rows[0].at("HITPCT")), ratio, 1e-9) << stat.raw;
    const Reply conn = collector.get("PGCONN");
    ASSERT_EQ(conn.rows.size(), 1u) << conn.raw;
    EXPECT_EQ(conn.rows[0].at("max_connections"), psql("SHOW max_connections"));
    // The sessions of this database: the held one while it is open, once.
    const Reply sessions = collector.get("PGSESS");
    int held_rows = 0;
    for (const Row& row : sessions.rows)
      if (row.at("application_name") == application) {
        ++held_rows;
        EXPECT_EQ(row.at("pid"), held_pid);
        EXPECT_GE(std::stoi(row.at("xact_seconds")), 0);
      }
    EXPECT_EQ(held_rows, stage == 2 ? 1 : 0) << sessions.raw;
    // The busy databases and, through their in-list, one row each.
    const Reply busy = collector.get("PGBUSYDB");
    const Reply per_db = collector.get("PGDBSESS");
    std::vector<std::string> listed, selected;
    for (const Row& row : busy.rows) listed.push_back(row.at("datname"));
    for (const Row& row : per_db.rows) selected.push_back(row.at("datname"));
    // Sessions of other tests may come and go between the two queries: the
    // list bounds the selection, and the databases of this test are in both.
    auto has = [](const std::vector<std::string>& names, const std::string& name) {
      return std::find(names.begin(), names.end(), name) != names.end();
    };
    for (const std::string& name : selected) EXPECT_TRUE(has(listed, name)) << name << "\n" << busy.raw;
    EXPECT_TRUE(has(listed, shown(own)) && has(selected, shown(own))) << busy.raw << per_db.raw;
    EXPECT_EQ(has(listed, other_db), stage == 2) << busy.raw;
    EXPECT_EQ(has(selected, other_db), stage == 2) << per_db.raw;
    for (const Row& row : per_db.rows)
      if (row.at("datname") == other_db) {
        EXPECT_EQ(row.at("sessions"), "1");
        EXPECT_EQ(row.at("active"), "1");
      }
    if (stage == 2) {
      // Past 3 seconds the evaluation names the held session.
      EXPECT_TRUE(testing::wait_until([&] {
        return !testing::evaluator_values(collector.log(), "Evaluation LONGXACT (1) true for cursor PGSESS", "pid")
                    .empty();
      })) << collector.log();
    }
  }
  // Every row the evaluation wrote is the held session's, also when it ended.
  EXPECT_TRUE(testing::wait_until([&] {
    return !testing::evaluator_values(collector.log(), "Evaluation LONGXACT (1) turned false for cursor PGSESS", "pid")
                .empty();
  })) << collector.log();
  const std::string log = collector.log();
  for (const std::string& pid :
       testing::evaluator_values(log, "Evaluation LONGXACT (1) true for cursor PGSESS", "pid"))
    EXPECT_EQ(pid, held_pid);
  EXPECT_EQ(testing::evaluator_values(log, "Evaluation LONGXACT (1) turned false for cursor PGSESS", "pid"),
            std::vector<std::string>{held_pid})
      << log;
}

}  // namespace
}  // namespace qrx
