// The real collector running cursors fed by real exit programs, one per
// output layout, and the real probe reading their rows; history of an exit
// cursor; skipped and kept lines; and no exit process left behind. Each
// test has its own server id, directory and channel.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/collections.h"
#include "support/collector_process.h"
#include "support/log_capture.h"
#include "support/startup_fixture.h"

namespace qrx {
namespace {

namespace fs = std::filesystem;

// Processes whose command line mentions `text`.
std::vector<pid_t> processes_mentioning(const std::string& text) {
  std::vector<pid_t> found;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream in(entry.path() / "cmdline");
    const std::string cmdline((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (cmdline.find(text) != std::string::npos) found.push_back(std::stoi(name));
  }
  return found;
}

class FetchExitCollectorTest : public testing::StartupTest {
 protected:
  void SetUp() override {
    StartupTest::SetUp();
    server_ = testing::own_server_id('F');
    write_file("qrxproc.ctl",
               "process collector;\ntype local;\nlogon_id demo;\ninterval 1;\n"
               "process rqs;\ntype local;\ninterval 1;\n"
               "process historian;\ntype local;\ninterval 1;\nend;\n");
    write_file("qrxdict.ctl",
               "name MOUNT;\ntype char(16);\nname KBYTES;\ntype integer;\n"
               "name NAME;\ntype char(10);\nname VALUE;\ntype char(10);\n"
               "name UPLINE;\ntype char(40);\nend;\n");
  }
  void TearDown() override {
    if (pid_ > 0) testing::end_collector(pid_);
    for (pid_t left : processes_mentioning(dir().string())) {
      ADD_FAILURE() << "process " << left << " outlived the collector";
      kill(left, SIGKILL);
    }
    StartupTest::TearDown();
  }
  void program(const std::string& name, const std::string& body) {
    const fs::path path = write_file(name, "#!/bin/sh\n" + body);
    chmod(path.c_str(), 0700);
  }
  std::string environment() const {
    const std::string d = dir().string();
    return "env -i PATH=/usr/bin:/bin HOME='" + d + "' USER=tester COLL_HOME='" + d +
           "' COLL_CTL_HOME='" + d + "' COLL_OUT='" + d + "' COLL_PREFIX='" + d +
           "' COLL_PREFIX_LOCAL='" + d + "' COLL_SERVERID=" + server_ +
           " COLL_HOSTNAME=host COLL_VERSION=qrx COLL_USESHM=0 COLL_BINPATH='" + d +
           "' COLL_SHUTDOWN_WAIT=0 COLL_WAIT_TIMEOUT=1 WAIT_TIMEOUT=20 " + extra_env_;
  }
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
    ASSERT_TRUE(testing::wait_until(
        [&] { return testing::collector_log(dir()).find("Start collecting.") != std::string::npos; }))
        << testing::collector_log(dir());
  }
  // What the probe prints (both streams) for `words`, quoted for the shell
  // by the caller; `status` receives its exit status.
  std::string probe(const std::string& words, int* status = nullptr) {
    const std::string command = "cd '" + dir().string() + "' && " + environment() +
                                "'" QRX_BINARY_DIR "/qrxprobe' -rdbms " + server_ +
                                " -dbtype qrx " + words + " 2>&1";
    std::string out;
    int rc = -1;
    if (std::FILE* pipe = popen(command.c_str(), "r")) {
      char buffer[4096];
      for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
      rc = pclose(pipe);
    }
    if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
  }
  // The pid a script wrote into file `name` of the test directory, once there.
  pid_t pid_written(const std::string& name) {
    pid_t pid = 0;
    testing::wait_until([&] {
      std::ifstream(dir() / name) >> pid;
      return pid > 0;
    });
    return pid;
  }
  // The CSV rows (header dropped) the probe prints for `cursor`.
  std::vector<std::string> probe_rows(const std::string& cursor) {
    const std::string command = "cd '" + dir().string() + "' && " + environment() +
                                "'" QRX_BINARY_DIR "/qrxprobe' -rdbms " + server_ +
                                " -dbtype qrx --csv get " + cursor + " 2>/dev/null";
    std::vector<std::string> rows;
    if (std::FILE* pipe = popen(command.c_str(), "r")) {
      char line[4096];
      bool header = true;
      while (std::fgets(line, sizeof line, pipe)) {
        std::string text(line);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        if (header) {
          header = false;
          continue;
        }
        if (!text.empty()) rows.push_back(text);
      }
      pclose(pipe);
    }
    return rows;
  }
  // Waits until the probe shows rows for `cursor`; those rows.
  std::vector<std::string> rows_of(const std::string& cursor) {
    std::vector<std::string> rows;
    testing::wait_until([&] {
      rows = probe_rows(cursor);
      return !rows.empty();
    });
    return rows;
  }

  std::string server_;
  std::string extra_env_;  // "NAME=value " words added to the collector's environment
  pid_t pid_ = -1;
};

// True once `pid` has ended (a zombie of someone else counts as ended).
bool process_gone(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (!std::getline(stat, text)) return true;
  const std::size_t close = text.rfind(')');
  return close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'Z';
}

// A child process as /proc shows it.
struct Child {
  pid_t pid;
  char state;
  std::string name;
};
std::vector<Child> children_of(pid_t parent) {
  std::vector<Child> found;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream stat(entry.path() / "stat");
    std::string text;
    std::getline(stat, text);
    const std::size_t open = text.find('('), close = text.rfind(')');
    if (open == std::string::npos || close == std::string::npos) continue;
    std::istringstream fields(text.substr(close + 1));
    char state = 0;
    pid_t ppid = 0;
    fields >> state >> ppid;
    if (ppid == parent) found.push_back({std::stoi(name), state, text.substr(open + 1, close - open - 1)});
  }
  return found;
}

// Processes still alive in process group `group`.
std::vector<pid_t> group_members(pid_t group) {
  std::vector<pid_t> found;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const pid_t pid = std::stoi(name);
    if (getpgid(pid) == group && !process_gone(pid)) found.push_back(pid);
  }
  return found;
}

TEST_F(FetchExitCollectorTest, EachLayoutGivesRowsThroughTheProbeWithHistory) {
  program("words_exit", "echo '/ 1000 x'\necho \"'/my data' 250\"\n");
  program("tabbed_exit", "printf 'alpha\\tone\\nbeta\\t\\n'\n");
  program("columns_exit", "printf '%-10s%-10s\\n' gamma three delta four\n");
  program("formatted_exit", "echo 'up 3 days,  load 0.5   '\n");
  write_file("qrxcoll.ctl",
             "cursor WORDS;\ninterval 1;\nlimit 10;\nsamples 1;\nhistory;\nfetch_exit fetchx2;\n"
             "script words_exit;\ninsert_select SELECT MOUNT, KBYTES FROM x;\n"
             "INSERT INTO x (mount, kbytes) VALUES (:mount^16, :INT!kbytes);\n"
             "cursor TABBED;\ninterval 1;\nlimit 10;\nsamples 1;\nfetch_exit fetchx3t20;\n"
             "script tabbed_exit;\ninsert_select SELECT NAME, VALUE FROM x;\n"
             "INSERT INTO x (name, value) VALUES (:name^10, :value^10);\n"
             "cursor COLUMNS;\ninterval 1;\nlimit 10;\nsamples 1;\nfetch_exit fetchx1t20;\n"
             "script columns_exit;\ninsert_select SELECT NAME, VALUE FROM x;\n"
             "INSERT INTO x (name, value) VALUES (:name^10, :value^10);\n"
             "cursor FORMAT;\ninterval 1;\nlimit 1;\nfetch_exit fetchx5;\n"
             "script formatted_exit;\ninsert_select SELECT UPLINE FROM x;\n"
             "INSERT INTO x (upline) VALUES (:upline^40);\nend;\n");
  start();
  EXPECT_EQ(rows_of("WORDS"), (std::vector<std::string>{"/,1000", "/my data,250"}))
      << testing::collector_log(dir());
  EXPECT_EQ(rows_of("TABBED"), (std::vector<std::string>{"alpha,one", "beta,"}));
  EXPECT_EQ(rows_of("COLUMNS"), (std::vector<std::string>{"gamma,three", "delta,four"}));
  EXPECT_EQ(rows_of("FORMAT"), std::vector<std::string>{"\"up 3 days,  load 0.5\""});  // CSV quotes it
  // The historian keeps the exit's rows as it keeps fetched ones.
  const fs::path hst = dir() / "WORDS.HST";
  ASSERT_TRUE(testing::wait_until([&] { return fs::exists(hst) && fs::file_size(hst) > 0; }));
  std::ifstream in(hst);
  const std::string history((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(history.find("/my data"), std::string::npos) << history;
}

TEST_F(FetchExitCollectorTest, StartAfterAndStopAfterChooseTheLines) {
  program("lines_exit", "for i in 1 2 3 4 5 6 7; do printf 'n%s\\tv%s\\n' $i $i; done\n");
  write_file("qrxcoll.ctl",
             "cursor LINES;\ninterval 1;\nlimit 10;\nsamples 1;\nstart_after 2;\nstop_after 3;\n"
             "fetch_exit fetchx3;\nscript lines_exit;\ninsert_select SELECT NAME, VALUE FROM x;\n"
             "INSERT INTO x (name, value) VALUES (:name^10, :value^10);\nend;\n");
  start();
  EXPECT_EQ(rows_of("LINES"), (std::vector<std::string>{"n3,v3", "n4,v4", "n5,v5"}))
      << testing::collector_log(dir());
}

TEST_F(FetchExitCollectorTest, RequestParameterReachesTheExitAsOneQuotedWord) {
  const std::string marker = (dir() / "pwned").string();
  program("echo_exit", "printf 'got\\t%s\\n' \"$1\"\n");
  write_file("qrxcoll.ctl",
             "cursor ECHO;\ndemand;\nfetch_exit fetchx3;\nscript echo_exit [%parm0] | cat;\n"
             "insert_select SELECT NAME, VALUE FROM x;\n"
             "INSERT INTO x (name, value) VALUES (:name^10, :value^10);\nend;\n");
  start();
  const std::string hostile = "a;touch " + marker;
  const std::string command = "cd '" + dir().string() + "' && " + environment() +
                              "'" QRX_BINARY_DIR "/qrxprobe' -rdbms " + server_ +
                              " -dbtype qrx --csv get ECHO '" + hostile + "' 2>&1";
  std::string out;
  if (std::FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
    pclose(pipe);
  }
  EXPECT_NE(out.find("got,a;touch"), std::string::npos) << out << testing::collector_log(dir());
  EXPECT_FALSE(fs::exists(marker));
}

TEST_F(FetchExitCollectorTest, ValueWithShellCharactersIsOneArgumentOfTheBinpathProgram) {
  program("arg_exit", "printf '%s' \"$1\" > \"$(dirname \"$0\")/arg.out\"\nprintf 'n\\t%s\\n' \"$#\"\n");
  // ARGP's own text asks for a pipeline: the shell runs it, the value still one word.
  write_file("qrxcoll.ctl",
             "cursor ARGT;\ndemand;\nfetch_exit fetchx3t20;\nscript arg_exit [%parm0];\n"
             "insert_select SELECT NAME, VALUE FROM x;\n"
             "INSERT INTO x (name, value) VALUES (:name^10, :value^10);\n"
             "cursor ARGP;\ndemand;\nfetch_exit fetchx3t20;\nscript arg_exit [%parm0] | tr n m;\n"
             "insert_select SELECT NAME, VALUE FROM x;\n"
             "INSERT INTO x (name, value) VALUES (:name^10, :value^10);\nend;\n");
  start();
  for (const char* cursor : {"ARGT", "ARGP"}) {
    for (const std::string value : {"x; touch CANARY", "a|b"}) {
      fs::remove(dir() / "arg.out");
      const std::string out = probe("--csv get " + std::string(cursor) + " '" + value + "'");
      const std::string row = std::string(cursor) == "ARGP" ? "m,1" : "n,1";
      EXPECT_NE(out.find(row), std::string::npos)
          << cursor << " " << value << "\n" << out << testing::collector_log(dir());
      std::ifstream in(dir() / "arg.out");
      const std::string got((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      EXPECT_EQ(got, value) << cursor;
    }
  }
  EXPECT_FALSE(fs::exists(dir() / "CANARY"));
}

TEST_F(FetchExitCollectorTest, ExitsSeeNoSecretInTheirEnvironment) {
  extra_env_ = "COLL_PASSWORD=Pw0rdOfTheCollector QRX_EXPORT_PASSWORD=Pw0rdOfTheExporter ";
  // Once through the shell, once as a timed child.
  program("env_exit", "env > \"$0.tmp\" && mv \"$0.tmp\" \"$0.env\"\nprintf 'n\\tv\\n'\n");
  program("env_exit_t", "env > \"$0.tmp\" && mv \"$0.tmp\" \"$0.env\"\nprintf 'n\\tv\\n'\n");
  write_file("qrxcoll.ctl",
             "cursor ENVS;\ninterval 1;\nlimit 10;\nfetch_exit fetchx3;\nscript env_exit;\n"
             "insert_select SELECT NAME, VALUE FROM x;\n"
             "INSERT INTO x (name, value) VALUES (:name^10, :value^10);\n"
             "cursor ENVT;\ninterval 1;\nlimit 10;\nfetch_exit fetchx3t20;\nscript env_exit_t;\n"
             "insert_select SELECT NAME, VALUE FROM x;\n"
             "INSERT INTO x (name, value) VALUES (:name^10, :value^10);\nend;\n");
  start();
  for (const char* name : {"env_exit.env", "env_exit_t.env"}) {
    const fs::path file = dir() / name;
    ASSERT_TRUE(testing::wait_until([&] { return fs::exists(file); })) << testing::collector_log(dir());
    std::ifstream in(file);
    const std::string env((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(env.find("PASSWORD"), std::string::npos) << env;
    EXPECT_EQ(env.find("Pw0rdOf"), std::string::npos) << env;
    EXPECT_NE(env.find("COLL_SERVERID=" + server_), std::string::npos) << env;
    EXPECT_NE(env.find("ZRT_RAS1_LOG="), std::string::npos) << env;
  }
}

TEST_F(FetchExitCollectorTest, ExitClosingItsOutputEndsAtTheIntervalAndStatusIsAnswered) {
  program("quiet_exit", "echo $$ > \"$0.pid\"\nexec 1>&- 2>&-\nexec sleep 1005\n");
  write_file("qrxcoll.ctl",
             "cursor QUIET;\ninterval 1;\nlimit 10;\nfetch_exit fetchx3;\nscript quiet_exit;\n"
             "insert_select SELECT NAME, VALUE FROM x;\n"
             "INSERT INTO x (name, value) VALUES (:name^10, :value^10);\nend;\n");
  start();
  const pid_t child = pid_written("quiet_exit.pid");
  ASSERT_GT(child, 0);
  // The collector's interval (1 second) bounds an exit without a limit of its own.
  ASSERT_TRUE(testing::wait_until([&] {
    return testing::collector_log(dir()).find("did not finish in 1 seconds.") != std::string::npos;
  })) << testing::collector_log(dir());
  EXPECT_TRUE(testing::wait_until([&] { return process_gone(child); }));
  int status = -1;
  const std::string out = probe("--csv status", &status);
  EXPECT_NE(out.find("QUIET"), std::string::npos) << out;
}

TEST_F(FetchExitCollectorTest, KilledCollectorTakesItsRunningExitAlong) {
  // The shell stays, so that its sleep is a second process of the run.
  program("long_exit", "echo $$ > \"$0.pid\"\nsleep 1006\necho done\n");
  write_file("qrxcoll.ctl",
             "cursor LONG;\ninterval 1;\nlimit 10;\nfetch_exit fetchx3t300;\nscript long_exit;\n"
             "insert_select SELECT NAME, VALUE FROM x;\n"
             "INSERT INTO x (name, value) VALUES (:name^10, :value^10);\nend;\n");
  start();
  const pid_t child = pid_written("long_exit.pid");
  ASSERT_GT(child, 0);
  ASSERT_FALSE(process_gone(child));
  const pid_t collector = pid_;
  kill(collector, SIGKILL);
  waitpid(collector, nullptr, 0);
  pid_ = -1;
  EXPECT_TRUE(testing::wait_until([&] { return process_gone(child); }));
  EXPECT_TRUE(testing::wait_until([&] { return group_members(child).empty(); }));
  for (pid_t left : group_members(child)) kill(left, SIGKILL);
}

TEST_F(FetchExitCollectorTest, SetsidProcessStartedByARunEndsWithTheRun) {
  // The run ends only once the process has left the run's session.
  program("escape_exit",
          "setsid sh -c 'echo $$ > \"$0.pid\"; exec sleep 1007' \"$0\" >/dev/null 2>&1 &\n"
          "while [ ! -s \"$0.pid\" ]; do sleep 0.1; done\nprintf 'n\\tv\\n'\n");
  write_file("qrxcoll.ctl",
             "cursor ESCAPE;\ndemand;\nfetch_exit fetchx3t20;\nscript escape_exit;\n"
             "insert_select SELECT NAME, VALUE FROM x;\n"
             "INSERT INTO x (name, value) VALUES (:name^10, :value^10);\nend;\n");
  start();
  const std::string out = probe("--csv get ESCAPE");
  EXPECT_NE(out.find("n,v"), std::string::npos) << out << testing::collector_log(dir());
  const pid_t escaped = pid_written("escape_exit.pid");
  ASSERT_GT(escaped, 0);
  const bool gone = testing::wait_until([&] { return process_gone(escaped); });
  EXPECT_TRUE(gone) << "the setsid process of the run is still there";
  if (!gone) kill(escaped, SIGKILL);
  EXPECT_TRUE(group_members(escaped).empty());
  // Nothing the run started is left as the collector's zombie either.
  for (const Child& child : children_of(pid_)) EXPECT_NE(child.state, 'Z') << "zombie " << child.pid;
}

TEST_F(FetchExitCollectorTest, CollectorEndingNormallyReapsItsWarden) {
  program("plain_exit", "printf 'n\\tv\\n'\n");
  write_file("qrxcoll.ctl",
             "cursor PLAIN;\ninterval 1;\nlimit 10;\nfetch_exit fetchx3t20;\nscript plain_exit;\n"
             "insert_select SELECT NAME, VALUE FROM x;\n"
             "INSERT INTO x (name, value) VALUES (:name^10, :value^10);\nend;\n");
  start();
  // The warden names itself once it runs.
  pid_t warden = 0;
  testing::wait_until([&] {
    for (const Child& child : children_of(pid_))
      if (child.name == "qrxcoll-warden") warden = child.pid;
    return warden > 0;
  });
  ASSERT_GT(warden, 0) << "the collector has no warden";
  testing::end_collector(pid_);
  pid_ = -1;
  // Reaped by the collector itself, not left to init as a zombie.
  EXPECT_FALSE(fs::exists("/proc/" + std::to_string(warden)));
}

}  // namespace
}  // namespace qrx
