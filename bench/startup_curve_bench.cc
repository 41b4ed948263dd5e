// Start-up time against the number of cursors: `qrxcoll --check` (every
// control file read, every start-up pass run, no database) on COLLECT.CTL
// files of 1,000 to 100,000 cursors, one in ten fed by the previous cursor's
// value. Prints wall time, time per cursor and peak RSS for each size, and
// the 100,000-cursor figure against its goal (under 3 s, linear growth).
// Usage: startup_curve_bench [largest]   (other arguments are ignored)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

fs::path binary_dir() { return fs::read_symlink("/proc/self/exe").parent_path(); }

void write_file(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// COLLECT.CTL with `count` cursors named C0000001...; every tenth cursor
// takes a value of the cursor before it.
std::string collect_ctl(int count) {
  std::string text;
  text.reserve(static_cast<size_t>(count) * 160);
  char name[16], previous[16];
  for (int i = 1; i <= count; ++i) {
    std::snprintf(name, sizeof name, "C%07d", i);
    text += "cursor ";
    text += name;
    text += ";\n  interval 300;\n  limit 10;\n";
    if (i % 10 == 0) {
      text += "  insert_where name = [";
      text += previous;
      text += ".name;\n";
    }
    text += "  INSERT INTO t (name, value, n) VALUES (:name^12, :value^16, :INT!n);\n";
    std::snprintf(previous, sizeof previous, "%s", name);
  }
  return text + "end;\n";
}

struct Run {
  double seconds = 0;
  double cpu_seconds = 0;  // user and system: what a busy machine does not inflate
  long peak_kb = 0;
  int status = -1;
};

Run check(const fs::path& dir) {
  const std::string qrxcoll = (binary_dir() / "qrxcoll").string();
  std::fflush(stdout);
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    if (!freopen("/dev/null", "w", stderr) || !freopen("/dev/null", "w", stdout)) _exit(126);
    const std::string d = dir.string();
    for (const char* name : {"COLL_HOME", "COLL_CTL_HOME", "COLL_OUT", "COLL_PREFIX",
                             "COLL_PREFIX_LOCAL"})
      setenv(name, d.c_str(), 1);
    setenv("COLL_LOGON", "bench", 1);
    execl(qrxcoll.c_str(), qrxcoll.c_str(), "--check", "-rdbms", "CURVE", "-dbtype", "qrx",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  Run run;
  int status = 0;
  rusage usage{};
  if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) return run;
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.cpu_seconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                    (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  run.peak_kb = usage.ru_maxrss;
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

}  // namespace

int main(int argc, char** argv) {
  int largest = 100000;
  if (argc > 1 && argv[1][0] != '-') largest = std::atoi(argv[1]);
  char pattern[] = "/tmp/qrx_curve_XXXXXX";
  if (!mkdtemp(pattern)) return 1;
  const fs::path dir = pattern;
  write_file(dir / "qrxproc.ctl", "process collector;\n  type local;\n  logon_id bench;\n"
                                  "  interval 300;\nend;\n");
  write_file(dir / "qrxdict.ctl", "");
  write_file(dir / "qrxtrac.ctl", "");
  std::printf("%10s %10s %10s %18s %12s\n", "cursors", "seconds", "CPU s", "CPU us per cursor",
              "peak RSS MB");
  double first_per_cursor = 0, last_seconds = 0, last_cpu = 0;
  int last_count = 0;
  for (int count : {1000, 3000, 10000, 30000, 100000}) {
    if (count > largest) break;
    write_file(dir / "qrxcoll.ctl", collect_ctl(count));
    const Run run = check(dir);
    if (run.status != 0) {
      std::printf("%10d   qrxcoll --check ended with status %d\n", count, run.status);
      fs::remove_all(dir);
      return 1;
    }
    const double per_cursor = run.cpu_seconds * 1e6 / count;
    if (first_per_cursor == 0) first_per_cursor = per_cursor;
    std::printf("%10d %10.3f %10.3f %18.2f %12.1f\n", count, run.seconds, run.cpu_seconds,
                per_cursor, run.peak_kb / 1024.0);
    last_seconds = run.seconds;
    last_cpu = run.cpu_seconds;
    last_count = count;
  }
  fs::remove_all(dir);
  if (last_count > 0 && first_per_cursor > 0)
    std::printf("%d cursors in %.2f s, %.2f s CPU (goal: 100,000 under 3 s); CPU per cursor "
                "%.2f x that at 1,000 (linear: at most about 1; 1,000 carries the fixed cost)\n",
                last_count, last_seconds, last_cpu,
                last_cpu * 1e6 / last_count / first_per_cursor);
  return 0;
}
