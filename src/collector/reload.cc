#include "collector/reload.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <optional>

#include "base/env_file.h"
#include "base/env_vars.h"
#include "base/log.h"
#include "base/settings.h"
#include "collector/scheduler.h"

extern char** environ;

namespace qrx {
namespace {

// What a --check run left: its exit status (-1 when it did not end by
// itself) and its standard error.
struct CheckRun {
  int status = -1;
  std::string output;
};

// The environment of this process with `assignments` laid over it.
std::vector<std::string> environment_with(const std::vector<EnvAssignment>& assignments) {
  std::vector<std::string> out;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('='));
    bool replaced = false;
    for (const auto& a : assignments) replaced = replaced || a.first == name;
    if (!replaced) out.push_back(entry);
  }
  for (const auto& [name, value] : assignments) out.push_back(name + "=" + value);
  return out;
}

// SIGCHLD at its default while alive: a parent that started the collector
// with SIGCHLD ignored would otherwise have the check's status thrown away.
class ChildStatusKept {
 public:
  ChildStatusKept() {
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(SIGCHLD, &dfl, &saved_);
  }
  ~ChildStatusKept() { sigaction(SIGCHLD, &saved_, nullptr); }
  ChildStatusKept(const ChildStatusKept&) = delete;
  ChildStatusKept& operator=(const ChildStatusKept&) = delete;

 private:
  struct sigaction saved_ {};
};

// Runs `program --check words...` with `env`; standard output is dropped and
// standard error kept. Nothing when no child could be made.
std::optional<CheckRun> run_check(const std::vector<std::string>& words,
                                  const std::vector<std::string>& env) {
  std::vector<char*> argv{const_cast<char*>(words[0].c_str()), const_cast<char*>("--check")};
  for (std::size_t i = 1; i < words.size(); ++i) argv.push_back(const_cast<char*>(words[i].c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  const ChildStatusKept keep_status;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
  const pid_t pid = fork();
  if (pid < 0) {
    ::close(fds[0]);
    ::close(fds[1]);
    return std::nullopt;
  }
  if (pid == 0) {
    // Only what the check writes reaches the pipe: the collector's channel,
    // session and log descriptors stay out of the child.
    const int null = ::open("/dev/null", O_RDWR);
    if (null < 0 || dup2(null, STDIN_FILENO) < 0 || dup2(null, STDOUT_FILENO) < 0 ||
        dup2(fds[1], STDERR_FILENO) < 0)
      _exit(127);
    close_range(3, UINT_MAX, 0);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  ::close(fds[1]);
  CheckRun run;
  int waited_ms = 0;
  char buffer[4096];
  for (;;) {
    pollfd p{fds[0], POLLIN, 0};
    const int ready = poll(&p, 1, 200);
    if (ready < 0 && errno != EINTR) break;
    if (ready > 0) {
      const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      run.output.append(buffer, static_cast<std::size_t>(n));
      continue;
    }
    waited_ms += 200;
    // A shutdown does not wait for the check.
    if (go_home || waited_ms >= kReloadCheckSeconds * 1000) {
      kill(pid, SIGKILL);
      break;
    }
  }
  ::close(fds[0]);
  int status = 0;
  pid_t waited;
  while ((waited = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
  }
  // A status that cannot be collected is no success.
  run.status = waited == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

// The severity letter of a message line "ID<letter> (hhmmss) text", or 0
// for any other line (a location or a message's continuation).
char shown_severity(const std::string& line) {
  const std::size_t open = line.find(" (");
  if (open == 0 || open == std::string::npos || line.size() < open + 10 ||
      line.compare(open + 8, 2, ") ") != 0)
    return 0;
  return line[open - 1];
}

// Writes the faults that the check wrote to its standard error into the log
// as they stand: warnings, errors and severe messages keep their identifiers,
// their continuation lines and their "  at" location lines; its notices go.
void relog(const std::string& output) {
  bool kept = false;
  for (std::size_t at = 0; at < output.size();) {
    std::size_t end = output.find('\n', at);
    if (end == std::string::npos) end = output.size();
    const std::string line = output.substr(at, end - at);
    at = end + 1;
    const char severity = shown_severity(line);
    if (severity != 0) kept = severity == 'W' || severity == 'E' || severity == 'S';
    if (kept && !line.empty()) PRINT('e', ".", "%s\n", line.c_str());
  }
}

}  // namespace

std::string program_file(const std::string& argv0) {
  if (argv0.find('/') != std::string::npos) return argv0;
  char path[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return argv0;
  return std::string(path, static_cast<std::size_t>(n));
}

int check_reload() {
  const auto refuse = [](const std::string& reason) {
    PRINT('e', "cml1561", "Reload refused (%s): going on with the definitions in use\n",
          reason.c_str());
    return 1;
  };
  std::vector<EnvAssignment> assignments;
  if (const std::optional<std::string> path = u_getenv("COLL_ENV_FILE", 0, nullptr)) {
    std::optional<std::vector<EnvAssignment>> read = read_env_file(*path);
    if (!read) return refuse("the environment file " + *path + " has faults");
    assignments = std::move(*read);
  }
  if (program_words.empty()) return refuse("no program file to check with");
  const std::optional<CheckRun> run = run_check(program_words, environment_with(assignments));
  if (!run) return refuse(std::string("the check could not be started: ") + std::strerror(errno));
  if (run->status == 0) {
    if (apply_env_assignments(assignments) != 0)
      return refuse("the environment file's settings could not be set");
    return 0;
  }
  relog(run->output);
  if (run->status < 0)
    return refuse("the check did not end with an exit status within " +
                  std::to_string(kReloadCheckSeconds) + " seconds");
  if (run->status == 127) return refuse("the check could not be run: " + program_words[0]);
  return refuse("the check found faults, exit status " + std::to_string(run->status));
}

}  // namespace qrx
