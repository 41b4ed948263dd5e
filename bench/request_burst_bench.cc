// Requests in bursts against the real collector: qrxcoll runs on the bundled
// SQLite demo (request server due every second) and is asked
//   - by 20 qrxprobe processes one after the other (goal: under 1 s in all),
//   - by qrxprobe for a round of four cursors in one call,
//   - by a client loop in this process, one one-row request after the other
//     (goal: at least 2,000 requests a second).
// Prints each figure beside its goal. Arguments are ignored.
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "agent/comm_entry.h"
#include "base/env_vars.h"
#include "base/log.h"
#include "base/settings.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

fs::path binary_dir() { return fs::read_symlink("/proc/self/exe").parent_path(); }

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string read_text(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Runs `program` with `args` from `dir`, output to /dev/null; returns its pid.
pid_t spawn(const fs::path& dir, const std::string& program, std::vector<std::string> args) {
  std::fflush(stdout);
  const pid_t pid = fork();
  if (pid != 0) return pid;
  if (chdir(dir.c_str()) != 0 || !freopen("/dev/null", "w", stdout) ||
      !freopen("/dev/null", "w", stderr))
    _exit(126);
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  execv(program.c_str(), argv.data());
  _exit(127);
}

int run(const fs::path& dir, const std::string& program, std::vector<std::string> args) {
  int status = 0;
  const pid_t pid = spawn(dir, program, std::move(args));
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// One in-process request for `cursor`; true when the reply has rows.
bool ask(qrx::CommAnchor* anchor, const char* cursor) {
  std::vector<qrx::CursList>* blocks = qrx::qrxcomm("get", anchor, cursor).blocks;
  return blocks && !blocks->empty() && blocks->front().numrow > 0;
}

}  // namespace

int main() {
  char pattern[] = "/tmp/qrx_burst_XXXXXX";
  if (!mkdtemp(pattern)) return 1;
  const fs::path dir = pattern;
  const fs::path demo = fs::path(QRX_SOURCE_DIR) / "examples/demo";
  for (const char* name : {"qrxcoll.ctl", "qrxdict.ctl", "qrxproc.ctl", "qrxtrac.ctl"})
    fs::copy_file(demo / name, dir / name);
  sqlite3* db = nullptr;
  if (sqlite3_open((dir / "BURST.db").c_str(), &db) != SQLITE_OK ||
      sqlite3_exec(db, read_text(demo / "demo.sql").c_str(), nullptr, nullptr, nullptr) !=
          SQLITE_OK) {
    std::fprintf(stderr, "request_burst_bench: the demo database could not be made\n");
    return 1;
  }
  sqlite3_close(db);

  // The collector and this process find each other through these settings;
  // USER and COLL_HOSTNAME spare every probe its "whoami" and "uname -n".
  const std::string d = dir.string();
  for (const char* name : {"COLL_HOME", "COLL_CTL_HOME", "COLL_OUT", "COLL_PREFIX",
                           "COLL_PREFIX_LOCAL"})
    setenv(name, d.c_str(), 1);
  char host[256] = "localhost";
  gethostname(host, sizeof host - 1);
  setenv("COLL_HOSTNAME", host, 1);
  if (!getenv("USER")) setenv("USER", "bench", 1);
  setenv("COLL_SERVERID", "BURST", 1);
  setenv("COLL_LOGON", "demo", 1);
  setenv("COLL_VERSION", "qrx", 1);
  setenv("COLL_DB_DRIVER", "sqlite", 1);
  setenv("COLL_WAIT_TIMEOUT", "1", 1);
  setenv("WAIT_TIMEOUT", "3", 1);
  unsetenv("COLL_USESHM");
  unsetenv("COLL_DEBUG");

  const std::string qrxcoll = (binary_dir() / "qrxcoll").string();
  const std::string qrxprobe = (binary_dir() / "qrxprobe").string();
  const pid_t collector =
      spawn(dir, qrxcoll, {"-rdbms", "BURST", "-logonid", "demo", "-dbtype", "qrx"});

  // The channel's notices would mix with the figures.
  qrx::stder = std::fopen("/dev/null", "w");
  if (!freopen("/dev/null", "w", stderr)) return 1;
  qrx::get_envs(qrx::env_vars);
  std::string looked_in;
  qrx::CommAnchor* anchor = nullptr;
  const auto started = Clock::now();
  while (seconds_since(started) < 30) {
    if (!anchor && qrx::probe_connect(looked_in) == 0) anchor = qrx::qrxcomm("init").anchor;
    if (anchor && ask(anchor, "DBSTATS")) break;
    usleep(200000);
  }
  int failures = 0;
  if (!anchor || seconds_since(started) >= 30) {
    std::printf("request_burst_bench: the collector did not answer\n");
    failures = 1;
  }

  if (!failures) {
    std::printf("20 qrxprobe processes one after the other (goal: under 1 s):");
    for (int round = 0; round < 3; ++round) {
      const auto start = Clock::now();
      for (int i = 0; i < 20; ++i)
        failures += run(dir, qrxprobe, {"-rdbms", "BURST", "get", "DBSTATS"}) != 0;
      std::printf(" %.3f s", seconds_since(start));
      std::fflush(stdout);
    }
    std::printf("\nqrxprobe for a round of four cursors (DBSTATS SESSIONS TOPUSER TBLSPACE):");
    for (int round = 0; round < 3; ++round) {
      const auto start = Clock::now();
      failures += run(dir, qrxprobe,
                      {"-rdbms", "BURST", "get", "DBSTATS", "SESSIONS", "TOPUSER", "TBLSPACE"}) != 0;
      std::printf(" %.3f s", seconds_since(start));
    }
    std::printf("\nclient loop in this process, one-row requests (goal: at least 2,000 a second):");
    for (int round = 0; round < 3; ++round) {
      int served = 0;
      const auto start = Clock::now();
      while (seconds_since(start) < 2)
        if (ask(anchor, "DBSTATS")) ++served;
        else ++failures;
      std::printf(" %.0f/s", served / seconds_since(start));
    }
    std::printf("\n");
  }
  if (anchor) {
    qrx::qrxcomm("get", anchor, "SHUTDOWN");
    qrx::qrxcomm("term", anchor);
  }
  qrx::qrxcomm("shut");
  int status = 0;
  for (int i = 0; i < 100 && waitpid(collector, &status, WNOHANG) == 0; ++i) usleep(100000);
  if (waitpid(collector, &status, WNOHANG) == 0) {
    kill(collector, SIGTERM);
    waitpid(collector, &status, 0);
  }
  fs::remove_all(dir);
  if (failures) std::printf("%d requests failed\n", failures);
  return failures ? 1 : 0;
}
